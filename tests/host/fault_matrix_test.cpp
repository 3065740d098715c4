// Every failure path of every export: each export first runs once against a
// stand-in where it succeeds, and the journal of that run says which Win32
// calls it makes, in which order (the string calls aside: they cannot
// fail). Then, for each call k of that list, the export runs again with just
// that call failing, and must give the documented result: the injected error
// itself when the step stops the call, the success result when the step is
// one whose failure is ignored (a close, the folder creation of TolvarOpen,
// the first key deletion of RegService, the probe of TolvarAddDriveLetter),
// with no handle, key or event source left open, the calls before the
// failure exactly those of the successful run, and after a stopping failure
// nothing but the closes (and TolvarReload's event-log entry).
// One more run is a reload whose driver request fails, so that the event
// log's own calls fail in turn.
//
// The cases are named <export>_<step>_<call>_<occurrence>, e.g.
// TolvarReload_05_FlushFileBuffers_2: the fifth call of the successful
// TolvarReload, which is its second FlushFileBuffers, fails.
#include <hostwin32/eventlog.h>
#include <hostwin32/registry.h>
#include <hostwin32/volumes.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

#include "host_fixture.h"
#include "tolvar_driver_contract.h"
#include "tolvarsdk.h"

using namespace hostwin32;

namespace {

// Neither a code the library makes itself nor one the stand-in's objects
// give, so a result equal to it can only come from the injected failure.
constexpr DWORD kInjectedError = ERROR_IO_DEVICE;
// Every close leaves this as the last error: a result read after a close
// would show it.
constexpr DWORD kCloseLastError = ERROR_INVALID_FUNCTION;

const std::string kServiceKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\TOLVARVX";

// How the export goes on after a call fails.
enum class Outcome {
    Stops,     // returns the injected error; only closes (and the event log) follow
    Ignored,   // goes on exactly as in the successful run, with its result
    Branches,  // takes another documented branch (a busy letter's failed probe)
};

struct Failure {
    size_t step;          // 0-based index in the successful run's calls
    std::string function;
    unsigned occurrence;  // 1-based, among the calls to that function
};

// One export in a stand-in where it succeeds.
struct Scenario {
    std::string name;
    std::function<void()> setUp;
    std::function<DWORD()> call;  // the export's result; 0 for RegService
    DWORD successResult = ERROR_SUCCESS;
    // The outcome of a failing call where it is not the rule's (see
    // RuleOutcome): keyed by "Function" or "Function#occurrence".
    std::vector<std::pair<std::string, Outcome>> outcomes;
    DWORD branchResult = ERROR_SUCCESS;
    // What else the documented behaviour says after the call.
    std::function<void(const Failure&, DWORD result)> verify;
};

// --- The stand-in's setups --------------------------------------------------

TolvarDriveInfo callerRecord;
TolvarDriveInfoW callerRecordW;
BYTE callerBlock[TOLVAR_CHALLENGE_SIZE];

template <typename Record>
void FillRecord(Record& record, BYTE value) { std::memset(&record, value, sizeof record); }

template <typename Record>
bool RecordUntouched(const Record& record) {
    Record fresh;
    std::memset(&fresh, 0xEE, sizeof fresh);
    return std::memcmp(&fresh, &record, sizeof fresh) == 0;
}

// The driver's request reaches it only when every step before it worked,
// and then the call succeeds (an injected failure of the request itself
// stops it before the driver).
void VerifyOpenSent(const Failure&, DWORD result) {
    bool sent = false;
    for (const DeviceEvent& event : DeviceEvents()) sent = sent || event.code == IOCTL_TOLVAR_OPEN;
    EXPECT_EQ(sent, result == ERROR_SUCCESS);
}

// A failure never reaches the caller's record.
template <typename Record>
std::function<void(const Failure&, DWORD)> VerifyQueryRecord(const Record& record) {
    return [&record](const Failure&, DWORD result) {
        if (result != ERROR_SUCCESS) EXPECT_TRUE(RecordUntouched(record));
        else EXPECT_EQ(record.DriveLetter, 'R');
    };
}

std::vector<uint8_t> QueryReplyBytes(char letter) {
    TolvarQueryReply reply;
    std::memset(&reply, 0, sizeof reply);
    reply.Drive.DriveLetter = static_cast<uint16_t>(letter);
    const char data[] = "C:\\Drives\\r.img";
    for (size_t i = 0; i < sizeof data; ++i) reply.Drive.DataFile[i] = static_cast<uint8_t>(data[i]);
    std::memset(reply.DeviceDetails, 0x5A, sizeof reply.DeviceDetails);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&reply);
    return std::vector<uint8_t>(bytes, bytes + sizeof reply);
}

// Drive device `index` answering the query with letter R, the challenge with
// 16 bytes, and every other request with success.
void AddAnsweringDrive(UINT index) {
    DeviceOptions device;
    device.control = [](const DeviceRequest& request) {
        if (request.code == IOCTL_TOLVAR_QUERY) return DeviceReply::Success(QueryReplyBytes('R'));
        if (request.code == IOCTL_TOLVAR_GET_CHALLENGE)
            return DeviceReply::Success(std::vector<uint8_t>(TOLVAR_CHALLENGE_SIZE, 0xC7));
        return DeviceReply::Success();
    };
    AddDriveDevice(index, device);
}

void RegisterService() { RegService(nullptr, nullptr, nullptr, 0); }

// What a service key holds, as RegistryTree lists it.
std::vector<std::string> ServiceKeyWith(std::vector<std::string> lines) {
    lines.insert(lines.begin(), "TOLVARVX");
    return lines;
}
const std::string kStale = "TOLVARVX: Stale = REG_DWORD 0x7";
const std::string kErrorControl = "TOLVARVX: ErrorControl = REG_DWORD 0x1";
const std::string kStart = "TOLVARVX: Start = REG_DWORD 0x1";
const std::string kType = "TOLVARVX: Type = REG_DWORD 0x1";

// What the last TolvarReload printed on standard output.
std::string reloadPrinted;

DWORD Reload(UINT index) {
    ::testing::internal::CaptureStdout();
    DWORD result = TolvarReload(index);
    reloadPrinted = ::testing::internal::GetCapturedStdout();
    return result;
}

// Reload logs each failure once, with the code it returns; only a failure of
// the event log itself is printed instead, and never changes the result.
void VerifyReloadLog(const Failure& failure, DWORD result) {
    const std::vector<EventLogEntry>& entries = EventLogEntries();
    if (failure.function == "RegisterEventSourceA") {
        EXPECT_EQ(reloadPrinted, "Could not register the event source.");
        EXPECT_TRUE(entries.empty());
        return;
    }
    if (failure.function == "ReportEventA") {
        EXPECT_EQ(reloadPrinted, "Could not report the event.");
        EXPECT_TRUE(entries.empty());
        return;
    }
    EXPECT_EQ(reloadPrinted, "");
    if (result == ERROR_SUCCESS) {
        EXPECT_TRUE(entries.empty());
        return;
    }
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].eventId, result);
    ASSERT_EQ(entries[0].strings.size(), 1u);
    EXPECT_EQ(entries[0].strings[0].rfind("[Reload] ", 0), 0u) << entries[0].strings[0];
}

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> scenarios;

    scenarios.push_back({"TolvarOpen",
                         [] {
                             AddVolume('D');
                             AddDriveDevice(3);
                             FillRecord(callerRecord, 0);
                             callerRecord.DriveLetter = 'D';
                             callerRecord.BackupBeforeWrite = TRUE;
                             std::strcpy(callerRecord.BackupFile, "C:\\Backups\\d1.bak");
                             std::strcpy(callerRecord.DataFile, "C:\\Drives\\d1.dat");
                         },
                         [] { return TolvarOpen(&callerRecord, 3); },
                         ERROR_SUCCESS,
                         {{"SHCreateDirectoryExA", Outcome::Ignored}},
                         ERROR_SUCCESS,
                         VerifyOpenSent});

    scenarios.push_back({"TolvarOpenW",
                         [] {
                             AddVolume('D');
                             AddDriveDevice(3);
                             FillRecord(callerRecordW, 0);
                             callerRecordW.DriveLetter = u'D';
                             callerRecordW.BackupBeforeWrite = TRUE;
                             std::u16string backup = u"C:\\Backups\\Ωmega\\d1.bak";
                             std::u16string data = u"C:\\Drives\\данные-🗄.dat";
                             std::copy(backup.begin(), backup.end(), callerRecordW.BackupFile);
                             std::copy(data.begin(), data.end(), callerRecordW.DataFile);
                         },
                         [] { return TolvarOpenW(&callerRecordW, 3); },
                         ERROR_SUCCESS,
                         {{"SHCreateDirectoryExW", Outcome::Ignored}},
                         ERROR_SUCCESS,
                         VerifyOpenSent});

    scenarios.push_back({"TolvarQuery",
                         [] {
                             AddAnsweringDrive(1);
                             FillRecord(callerRecord, 0xEE);
                         },
                         [] { return TolvarQuery(&callerRecord, 1); },
                         ERROR_SUCCESS,
                         {},
                         ERROR_SUCCESS,
                         VerifyQueryRecord(callerRecord)});

    scenarios.push_back({"TolvarQueryW",
                         [] {
                             AddAnsweringDrive(1);
                             FillRecord(callerRecordW, 0xEE);
                         },
                         [] { return TolvarQueryW(&callerRecordW, 1); },
                         ERROR_SUCCESS,
                         {},
                         ERROR_SUCCESS,
                         VerifyQueryRecord(callerRecordW)});

    for (BOOL force : {FALSE, TRUE}) {
        scenarios.push_back({force ? "TolvarCloseForced" : "TolvarClose",
                             [] { AddDriveDevice(0); },
                             [force] { return TolvarClose(force, 0); },
                             ERROR_SUCCESS,
                             {},
                             ERROR_SUCCESS,
                             [force](const Failure& failure, DWORD result) {
                                 // No unlock after a failure that followed the lock.
                                 if (force || result == ERROR_SUCCESS) return;
                                 for (const DeviceEvent& event : DeviceEvents()) {
                                     EXPECT_NE(event.code, TOLVAR_FSCTL_UNLOCK_VOLUME)
                                         << failure.function;
                                 }
                             }});
    }

    scenarios.push_back({"TolvarFlush", [] { AddDriveDevice(5); }, [] { return TolvarFlush(5); },
                         ERROR_SUCCESS, {}, ERROR_SUCCESS, nullptr});

    scenarios.push_back({"TolvarReload",
                         [] {
                             AddAnsweringDrive(2);
                             AddVolume('R');
                         },
                         [] { return Reload(2); },
                         ERROR_SUCCESS,
                         {},
                         ERROR_SUCCESS,
                         VerifyReloadLog});

    // A reload whose driver request fails: the failure is logged, so the
    // event log's own calls fail in turn. None of them changes the result;
    // without a source nothing is reported (RegisterEventSourceA branches).
    scenarios.push_back({"TolvarReloadLogged",
                         [] {
                             AddAnsweringDrive(2);
                             Device("\\Device\\TolvarVault\\TOLVARVX2").control =
                                 [](const DeviceRequest& request) {
                                     if (request.code == IOCTL_TOLVAR_RELOAD)
                                         return DeviceReply::Failure(ERROR_GEN_FAILURE);
                                     return DeviceReply::Success(QueryReplyBytes('R'));
                                 };
                             AddVolume('R');
                         },
                         [] { return Reload(2); },
                         ERROR_GEN_FAILURE,
                         {{"RegisterEventSourceA", Outcome::Branches},
                          {"ReportEventA", Outcome::Ignored}},
                         ERROR_GEN_FAILURE,
                         VerifyReloadLog});

    scenarios.push_back({"TolvarGetChallenge",
                         [] {
                             AddAnsweringDrive(0);
                             std::memset(callerBlock, 0x11, sizeof callerBlock);
                         },
                         [] { return TolvarGetChallenge(callerBlock, 0); },
                         ERROR_SUCCESS,
                         {},
                         ERROR_SUCCESS,
                         [](const Failure&, DWORD result) {
                             const BYTE expected = result == ERROR_SUCCESS ? 0xC7 : 0x11;
                             for (BYTE byte : callerBlock) EXPECT_EQ(byte, expected);
                         }});

    scenarios.push_back({"TolvarAuthen",
                         [] {
                             AddAnsweringDrive(0);
                             std::memset(callerBlock, 0x22, sizeof callerBlock);
                         },
                         [] { return TolvarAuthen(callerBlock, 0); },
                         ERROR_SUCCESS,
                         {},
                         ERROR_SUCCESS,
                         [](const Failure&, DWORD) {
                             for (BYTE byte : callerBlock) EXPECT_EQ(byte, 0x22);
                         }});

    scenarios.push_back({"TolvarDeauthen", [] { AddAnsweringDrive(0); },
                         [] { return TolvarDeauthen(0); }, ERROR_SUCCESS, {}, ERROR_SUCCESS,
                         nullptr});

    // A free letter: the probe fails by itself, and a failure injected there
    // changes nothing.
    scenarios.push_back({"TolvarAddDriveLetter",
                         [] {},
                         [] { return TolvarAddDriveLetter('Q', 2); },
                         ERROR_SUCCESS,
                         {{"CreateFileA", Outcome::Ignored}},
                         ERROR_SUCCESS,
                         [](const Failure&, DWORD result) {
                             std::vector<std::string> expected;
                             if (result == ERROR_SUCCESS) expected = {"\\Device\\TolvarVault\\TOLVARVX2"};
                             EXPECT_EQ(DosDeviceTargets("Q:"), expected);
                         }});

    // A taken letter: the probe opens, so the letter is busy; a probe that
    // fails for any reason leads to the definition instead.
    scenarios.push_back({"TolvarAddDriveLetterBusy",
                         [] { AddVolume('C'); },
                         [] { return TolvarAddDriveLetter('C', 2); },
                         ERROR_BUSY,
                         {{"CreateFileA", Outcome::Branches}},
                         ERROR_SUCCESS,
                         [](const Failure&, DWORD result) {
                             size_t defined = DosDeviceTargets("C:").size();
                             EXPECT_EQ(defined, result == ERROR_SUCCESS ? 2u : 1u);
                         }});

    scenarios.push_back({"TolvarRemoveDriveLetter",
                         [] { DefineDosName("K:", "\\Device\\TolvarVault\\TOLVARVX1"); },
                         [] { return TolvarRemoveDriveLetter('K'); },
                         ERROR_SUCCESS,
                         {},
                         ERROR_SUCCESS,
                         [](const Failure&, DWORD result) {
                             EXPECT_EQ(DosDeviceTargets("K:").size(), result == ERROR_SUCCESS ? 0u : 1u);
                         }});

    // RegService returns nothing: the registry says what happened. The key
    // exists with a stale value and a subkey, so the deletion has work to do.
    scenarios.push_back(
        {"RegService",
         [] {
             SetRegistryDword(kServiceKey, "Stale", 7);
             CreateRegistryKey(kServiceKey + "\\Enum");
         },
         [] {
             RegisterService();
             return DWORD{ERROR_SUCCESS};
         },
         ERROR_SUCCESS,
         {{"SHDeleteKeyA#1", Outcome::Ignored}},
         ERROR_SUCCESS,
         [](const Failure& failure, DWORD) {
             std::vector<std::string> tree = RegistryTree(kServiceKey);
             if (failure.function == "SHDeleteKeyA") {
                 // Not deleted: the three values are written over what is there.
                 EXPECT_EQ(tree, ServiceKeyWith({kStale, kErrorControl, kStart, kType,
                                                 "TOLVARVX\\Enum"}));
             } else if (failure.function == "RegCreateKeyExA") {
                 EXPECT_FALSE(RegistryKeyExists(kServiceKey));
             } else if (failure.function == "RegSetValueExA") {
                 // The values before the failing one stay; none after it is written.
                 std::vector<std::string> values = {kErrorControl, kStart, kType};
                 values.resize(failure.occurrence - 1);
                 EXPECT_EQ(tree, ServiceKeyWith(values));
             } else {
                 EXPECT_EQ(tree, ServiceKeyWith({kErrorControl, kStart, kType}));
             }
         }});

    scenarios.push_back({"UnregService",
                         [] { SetRegistryDword(kServiceKey, "Stale", 7); },
                         [] { return static_cast<DWORD>(UnregService(nullptr, nullptr, nullptr, 0)); },
                         ERROR_SUCCESS,
                         {},
                         ERROR_SUCCESS,
                         [](const Failure&, DWORD result) {
                             EXPECT_EQ(RegistryKeyExists(kServiceKey), result != ERROR_SUCCESS);
                         }});
    return scenarios;
}

// --- Learning the calls -----------------------------------------------------

bool IsStringCall(const std::string& function) {
    return function.rfind("lstr", 0) == 0 || function.rfind("wsprintf", 0) == 0 ||
           function == "MultiByteToWideChar" || function == "WideCharToMultiByte" ||
           function == "GetACP" || function == "IsDBCSLeadByte";
}

// The functions of the journal's calls, string calls left out.
std::vector<std::string> CalledFunctions() {
    std::vector<std::string> functions;
    for (const Call& call : Journal())
        if (!IsStringCall(call.function)) functions.push_back(call.function);
    return functions;
}

void PrepareStandIn(const Scenario& scenario) {
    Reset();
    SetCloseHandleLastError(kCloseLastError);
    scenario.setUp();
}

std::vector<std::string> SuccessfulRun(const Scenario& scenario) {
    PrepareStandIn(scenario);
    scenario.call();
    std::vector<std::string> functions = CalledFunctions();
    Reset();
    return functions;
}

struct MatrixCase {
    size_t scenario;
    std::vector<std::string> successCalls;
    Failure failure;
    std::string name;
};

const std::vector<Scenario>& AllScenarios() {
    static const std::vector<Scenario> scenarios = Scenarios();
    return scenarios;
}

std::vector<MatrixCase> MatrixCases() {
    std::vector<MatrixCase> cases;
    for (size_t s = 0; s < AllScenarios().size(); ++s) {
        const std::vector<std::string> calls = SuccessfulRun(AllScenarios()[s]);
        for (size_t step = 0; step < calls.size(); ++step) {
            unsigned occurrence = 0;
            for (size_t i = 0; i <= step; ++i) occurrence += calls[i] == calls[step];
            char name[160];
            std::snprintf(name, sizeof name, "%s_%02zu_%s_%u", AllScenarios()[s].name.c_str(),
                          step + 1, calls[step].c_str(), occurrence);
            cases.push_back({s, calls, {step, calls[step], occurrence}, name});
        }
    }
    return cases;
}

// Closes and the event log are what may follow a failure that stops a call.
bool IsCleanUp(const std::string& function) {
    static const std::set<std::string> cleanUp = {"CloseHandle", "RegCloseKey",
                                                  "RegisterEventSourceA", "ReportEventA",
                                                  "DeregisterEventSource"};
    return cleanUp.count(function) != 0;
}

Outcome RuleOutcome(const Scenario& scenario, const Failure& failure) {
    for (const auto& [key, outcome] : scenario.outcomes)
        if (key == failure.function || key == failure.function + "#" + std::to_string(failure.occurrence))
            return outcome;
    // A failing close cannot change a result that was already decided.
    if (failure.function == "CloseHandle" || failure.function == "RegCloseKey" ||
        failure.function == "DeregisterEventSource")
        return Outcome::Ignored;
    return Outcome::Stops;
}

// --- The tests --------------------------------------------------------------

class BaselineRunTest : public HostTest, public ::testing::WithParamInterface<size_t> {};

// The runs the matrix is learned from: each gives its result (success but
// for the logged reload) and makes calls.
TEST_P(BaselineRunTest, GivesItsResultAndMakesCalls) {
    const Scenario& scenario = AllScenarios()[GetParam()];
    PrepareStandIn(scenario);
    EXPECT_EQ(scenario.call(), scenario.successResult);
    EXPECT_FALSE(CalledFunctions().empty());
    if (scenario.verify) scenario.verify({0, "", 0}, scenario.successResult);
}

INSTANTIATE_TEST_SUITE_P(Exports, BaselineRunTest,
                         ::testing::Range<size_t>(0, AllScenarios().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return AllScenarios()[info.param].name;
                         });

void PrintTo(const MatrixCase& matrixCase, std::ostream* out) { *out << matrixCase.name; }

class FaultMatrixTest : public HostTest, public ::testing::WithParamInterface<MatrixCase> {};

TEST_P(FaultMatrixTest, DocumentedResultAndNothingLeftOpen) {
    const MatrixCase& matrixCase = GetParam();
    const Scenario& scenario = AllScenarios()[matrixCase.scenario];
    const Failure& failure = matrixCase.failure;
    PrepareStandIn(scenario);
    FailCall(failure.function, kInjectedError, failure.occurrence);

    const DWORD result = scenario.call();
    const std::vector<std::string> calls = CalledFunctions();
    const Outcome outcome = RuleOutcome(scenario, failure);

    const std::vector<std::string>& success = matrixCase.successCalls;
    switch (outcome) {
    case Outcome::Stops:
        // RegService has no result: its verify reads the registry.
        if (scenario.name != "RegService") {
            EXPECT_EQ(result, kInjectedError);
        }
        break;
    case Outcome::Ignored: EXPECT_EQ(result, scenario.successResult); break;
    case Outcome::Branches: EXPECT_EQ(result, scenario.branchResult); break;
    }
    // Up to the failing call, the same calls as the successful run.
    ASSERT_GT(calls.size(), failure.step) << ::testing::PrintToString(JournalText());
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + failure.step + 1),
              std::vector<std::string>(success.begin(), success.begin() + failure.step + 1));
    const std::vector<std::string> after(calls.begin() + failure.step + 1, calls.end());
    if (outcome == Outcome::Stops) {
        for (const std::string& function : after)
            EXPECT_TRUE(IsCleanUp(function)) << function << " after the failure";
    } else if (outcome == Outcome::Ignored) {
        EXPECT_EQ(after, std::vector<std::string>(success.begin() + failure.step + 1, success.end()));
    }
    // Handles, registry keys and event sources all count here.
    EXPECT_EQ(OpenHandleCount(), 0u) << ::testing::PrintToString(OpenHandleDescriptions());
    if (scenario.verify) scenario.verify(failure, result);
}

INSTANTIATE_TEST_SUITE_P(Exports, FaultMatrixTest, ::testing::ValuesIn(MatrixCases()),
                         [](const ::testing::TestParamInfo<MatrixCase>& info) {
                             return info.param.name;
                         });

// Every export is in the matrix, each with at least one failing call.
TEST(FaultMatrixCoverage, EveryExportHasFailingCalls) {
    std::set<std::string> exports;
    for (const MatrixCase& matrixCase : MatrixCases())
        exports.insert(AllScenarios()[matrixCase.scenario].name);
    for (const char* name :
         {"TolvarAddDriveLetter", "TolvarAuthen", "TolvarClose", "TolvarDeauthen", "TolvarFlush",
          "TolvarGetChallenge", "TolvarOpen", "TolvarQuery", "TolvarReload",
          "TolvarRemoveDriveLetter", "RegService", "UnregService", "TolvarOpenW", "TolvarQueryW"})
        EXPECT_EQ(exports.count(name), 1u) << name;
}

}  // namespace

// The driver's service key: RegService writes it anew with exactly three
// values whatever was there, reports nothing, and closes its key on every
// path; UnregService deletes it with its subkeys and returns the registry's
// status.
#include <hostwin32/registry.h>

#include "host_fixture.h"
#include "tolvarsdk.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace hostwin32;

namespace {

const std::string kServices = "HKLM\\SYSTEM\\CurrentControlSet\\Services";
const std::string kKey = kServices + "\\TOLVARVX";
const std::string kKeyArgument = "\"SYSTEM\\CurrentControlSet\\Services\\TOLVARVX\"";
const std::string kDelete = "SHDeleteKeyA(HKEY_LOCAL_MACHINE, " + kKeyArgument + ")";
const std::string kCreate = "RegCreateKeyExA(HKEY_LOCAL_MACHINE, " + kKeyArgument +
                            ", 0, NULL, 0x0, 0xF003F, NULL, ptr, NULL)";

std::string SetText(const char* name, const char* result) {
    return std::string("RegSetValueExA(0x100, \"") + name + "\", 0, 4, {01 00 00 00}, 4) -> " +
           result;
}

const std::vector<std::string> kWrittenKey = {
    "TOLVARVX", "TOLVARVX: ErrorControl = REG_DWORD 0x1", "TOLVARVX: Start = REG_DWORD 0x1",
    "TOLVARVX: Type = REG_DWORD 0x1"};

class ServiceTest : public HostTest {
protected:
    // rundll32 passes a window, its instance, the command line and a show
    // command; none of them may matter.
    static void Register() {
        char commandLine[] = "ignored";
        RegService(reinterpret_cast<HWND>(0x1234), reinterpret_cast<HINSTANCE>(0x5678), commandLine,
                   5);
    }
    static LONG Unregister() { return UnregService(nullptr, nullptr, nullptr, 0); }
};

TEST_F(ServiceTest, RegisterWritesTheThreeValuesInOrderAndClosesTheKey) {
    Register();
    EXPECT_THAT(Calls(), ElementsAre(kDelete + " -> 2", kCreate + " -> 0 0x100",
                                     SetText("ErrorControl", "0"), SetText("Start", "0"),
                                     SetText("Type", "0"), "RegCloseKey(0x100) -> 0"));
    EXPECT_EQ(RegistryTree(kKey), kWrittenKey);
}

TEST_F(ServiceTest, RegisteringTwiceLeavesOneKeyWithExactlyTheThreeValues) {
    SetRegistryDword(kServices + "\\OtherDriver", "Start", 3);
    Register();
    // Others add to the key in between: a value of their own, a changed
    // value and subkeys two levels deep.
    SetRegistryValue(kKey, "ImagePath", REG_SZ, {'x', 0});
    SetRegistryDword(kKey, "Start", 4);
    SetRegistryDword(kKey + "\\Enum", "Count", 1);
    CreateRegistryKey(kKey + "\\Parameters\\Deeper");
    ClearJournal();

    Register();
    EXPECT_EQ(CallsTo("SHDeleteKeyA"), std::vector<std::string>{kDelete + " -> 0"});
    EXPECT_EQ(RegistryTree(kKey), kWrittenKey);
    EXPECT_THAT(RegistrySubkeys(kServices), ElementsAre("OtherDriver", "TOLVARVX"));
    EXPECT_THAT(RegistryTree(kServices + "\\OtherDriver"),
                ElementsAre("OtherDriver", "OtherDriver: Start = REG_DWORD 0x3"));
}

TEST_F(ServiceTest, WhenTheDeleteFailsTheValuesAreWrittenOverTheKeyThatIsThere) {
    SetRegistryDword(kKey, "Type", 2);
    SetRegistryValue(kKey, "DisplayName", REG_SZ, {'o', 'l', 'd', 0});
    FailCall("SHDeleteKeyA", ERROR_ACCESS_DENIED);
    Register();
    EXPECT_THAT(RegistryTree(kKey),
                ElementsAre("TOLVARVX", "TOLVARVX: Type = REG_DWORD 0x1",
                            "TOLVARVX: DisplayName = REG_SZ \"old\"",
                            "TOLVARVX: ErrorControl = REG_DWORD 0x1", "TOLVARVX: Start = REG_DWORD 0x1"));
}

TEST_F(ServiceTest, WithoutRightsUnderTheMachineKeyNothingChangesAndRegisterReturns) {
    DenyRegistryWrites("HKLM");
    Register();
    EXPECT_THAT(Calls(), ElementsAre(kDelete + " -> 2", kCreate + " -> 5"));
    EXPECT_FALSE(RegistryKeyExists(kKey));

    // A key an administrator wrote stays as it was.
    SetRegistryDword(kKey, "Start", 3);
    ClearJournal();
    Register();
    EXPECT_THAT(Calls(), ElementsAre(kDelete + " -> 5", kCreate + " -> 5"));
    EXPECT_THAT(RegistryTree(kKey), ElementsAre("TOLVARVX", "TOLVARVX: Start = REG_DWORD 0x3"));
    EXPECT_EQ(Unregister(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(RegistryKeyExists(kKey));
}

TEST_F(ServiceTest, TheFirstFailingValueEndsTheSequenceAndTheKeyIsStillClosed) {
    FailCall("RegSetValueExA", ERROR_NOT_READY, 2);
    Register();
    EXPECT_THAT(Calls(), ElementsAre(kDelete + " -> 2", kCreate + " -> 0 0x100",
                                     SetText("ErrorControl", "0"), SetText("Start", "21"),
                                     "RegCloseKey(0x100) -> 0"));
    // A partly written key stays that way.
    EXPECT_THAT(RegistryTree(kKey), ElementsAre("TOLVARVX", "TOLVARVX: ErrorControl = REG_DWORD 0x1"));
}

TEST_F(ServiceTest, AKeyThatCannotBeCreatedIsNeitherWrittenNorClosed) {
    FailCall("RegCreateKeyExA", ERROR_NOT_READY);
    Register();
    EXPECT_THAT(Calls(), ElementsAre(kDelete + " -> 2", kCreate + " -> 21"));
    EXPECT_FALSE(RegistryKeyExists(kKey));
}

TEST_F(ServiceTest, UnregisterDeletesTheKeyWithItsSubkeysAndNothingElse) {
    SetRegistryDword(kServices + "\\OtherDriver", "Start", 3);
    Register();
    SetRegistryDword(kKey + "\\Enum\\Deeper", "Count", 1);
    ClearJournal();
    EXPECT_EQ(Unregister(), ERROR_SUCCESS);
    EXPECT_THAT(Calls(), ElementsAre(kDelete + " -> 0"));
    EXPECT_FALSE(RegistryKeyExists(kKey));
    EXPECT_THAT(RegistrySubkeys(kServices), ElementsAre("OtherDriver"));
}

TEST_F(ServiceTest, UnregisteringAMissingKeyReturnsTheRegistrysErrorAndChangesNothing) {
    std::vector<std::string> before = RegistryTree("HKLM");
    EXPECT_EQ(Unregister(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegistryTree("HKLM"), before);
    // Not a last error: the status is the result.
    FailCall("SHDeleteKeyA", ERROR_NOT_READY);
    EXPECT_EQ(Unregister(), ERROR_NOT_READY);
}

// The stand-in's registry as Windows keeps it, which the tests above rely on.
TEST_F(ServiceTest, ARegistryKeyDeletedUnderItsHandleRefusesWrites) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(OpenHandleCount(), 1u);
    EXPECT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "software\\a"), static_cast<DWORD>(ERROR_SUCCESS));
    const DWORD one = 1;
    EXPECT_EQ(RegSetValueExA(key, "X", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    HKEY readOnly = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, nullptr, 0, KEY_READ, nullptr,
                              &readOnly, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(RegSetValueExA(readOnly, "X", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(readOnly), ERROR_SUCCESS);
    EXPECT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace

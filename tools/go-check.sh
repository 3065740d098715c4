#!/bin/sh
# The Go package's static checks, for every Windows architecture it serves
# (each description's go_arch, cmake/<arch>.arch): gofmt leaves it as it
# is, and for each GOARCH `go vet` (its tests included) finds nothing and it
# builds (its tests run under Wine in each Windows build: tests/wine/go).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
goarchs=$("$root/testing/wine/arch.sh" go_arch)
cd "$root/go"
unformatted=$(gofmt -l .)
if [ -n "$unformatted" ]; then
    echo "go-check: gofmt would change: $unformatted" >&2
    exit 1
fi
for goarch in $goarchs; do
    GOOS=windows GOARCH=$goarch CGO_ENABLED=0 go vet ./...
    GOOS=windows GOARCH=$goarch CGO_ENABLED=0 go build ./...
done
echo "go-check: gofmt clean; go vet clean and the package builds for windows/$(echo $goarchs | sed 's/ /, /g')"

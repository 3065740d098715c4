#!/bin/sh
# The Go package's static checks, for every Windows architecture it serves:
# gofmt leaves it as it is, `go vet` (its tests included) finds nothing for
# GOARCH 386, amd64 and arm64, and it builds for arm64, which no test here
# runs (the x86 and x64 tests run under Wine: tests/wine/go).
set -eu
cd "$(dirname "$0")/../go"
unformatted=$(gofmt -l .)
if [ -n "$unformatted" ]; then
    echo "go-check: gofmt would change: $unformatted" >&2
    exit 1
fi
for arch in 386 amd64 arm64; do
    GOOS=windows GOARCH=$arch CGO_ENABLED=0 go vet ./...
done
GOOS=windows GOARCH=arm64 CGO_ENABLED=0 go build ./...
echo "go-check: gofmt and go vet clean for windows/386, amd64, arm64; windows/arm64 builds"

#!/usr/bin/env bash
# The shared client library exports the client's interface and nothing more:
#   TavelinClient/tests/check-exports.sh LIBRARY
set -euo pipefail
library="$1"
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ "$soname" =~ ^libtavelin-client\.so\.[0-9]+$ ]] || fail "SONAME is \"$soname\""

exported=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TtWwVvDdBbRr]$/ {print $3}' | c++filt)
foreign=$(grep -v -E '^tavelin::(HelperClient::|ClientError::|readRemovalSummary\(|isTrustedDaemonUser\()' \
    <<<"$exported" || true)
[ -z "$foreign" ] || fail "exported beyond the client's interface:
$foreign"
for needed in HelperClient::connect HelperClient::helperVersion HelperClient::removeSystemPaths \
    HelperClient::repairPermissions HelperClient::installSystemUpdates HelperClient::perform \
    ClientError::text readRemovalSummary isTrustedDaemonUser; do
    grep -qE "^tavelin::$needed(\[abi:cxx11\])?\(" <<<"$exported" || fail "not exported: $needed"
done
echo "exports: $(wc -l <<<"$exported") symbols, all of the client's interface"

#!/bin/bash
# The runner's contract: bad usage exits 64; a run creates a missing machine, prints one JSON
# object per event ending with the exit event, exits with the program's code and saves the
# machine; settings given on the command line stay with the machine.
set -u
sim=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$sim" --no-such-option x </dev/null >/dev/null 2>&1
[ $? -eq 64 ] || fail "unknown option should exit 64"
"$sim" --machine "$dir/m" </dev/null >/dev/null 2>&1
[ $? -eq 64 ] || fail "missing command line should exit 64"
"$sim" --machine "$dir/m" --fail NoSuchFunction:1 'C:\setup.exe' </dev/null >/dev/null 2>&1
[ $? -eq 64 ] || fail "unknown fault function should exit 64"
"$sim" --machine "$dir/m" --answer maybe 'C:\setup.exe' </dev/null >/dev/null 2>&1
[ $? -eq 64 ] || fail "bad answer should exit 64"

out=$("$sim" --machine "$dir/m" --lang 0x0404 --json -- '"C:\dl\setup.exe" /s' </dev/null)
code=$?
[ -d "$dir/m/drive_c/Windows/system32" ] || fail "fresh machine has no system32"
[ -d "$dir/m/drive_c/Windows/Fonts" ] || fail "fresh machine has no Fonts"
head -c 2 "$dir/m/system.reg" | od -An -tx1 | grep -q 'ff fe' || fail "system.reg not UTF-16LE"
grep -q 'language=0x0404' "$dir/m/machine.ini" || fail "language not kept"
last=$(printf '%s\n' "$out" | tail -n 1)
[ "$last" = "{\"event\":\"exit\",\"code\":$code}" ] || fail "last line '$last' is not the exit"
printf '%s\n' "$out" | grep -qv '^{"event":' && fail "a line that is not a JSON event"
# --calls lists the failable calls before the exit, each one that --fail accepts; failing the
# last listed call changes what the run does.
calls=$("$sim" --machine "$dir/c" --calls --json -- 'C:\setup.exe /u' </dev/null)
last=$(printf '%s\n' "$calls" | tail -n 1)
[ "$last" = '{"event":"exit","code":2}' ] || fail "with --calls the exit is not last: '$last'"
printf '%s\n' "$calls" | grep -q '^{"event":"call","function":"MessageBoxW","number":1}$' ||
    fail "--calls does not list the closing message box"
"$sim" --machine "$dir/c" --calls -- 'C:\setup.exe /u' </dev/null | grep -qx 'call       MessageBoxW:1' ||
    fail "--calls as text is not FUNCTION:N"
out=$("$sim" --machine "$dir/c" --json --fail MessageBoxW:1 -- 'C:\setup.exe /u' </dev/null)
printf '%s\n' "$out" | grep -q '"event":"message"' && fail "the failed message box was shown"
echo "setup-sim contract: 1 passed, 0 failed"
exit 0

#!/usr/bin/env bash
# scripts/win32-vm as its callers rely on it: the command's output and exit status come back, and
# a guest that hangs or crashes ends the run inside its bound with a message, leaving no qemu behind.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
vm=$root/scripts/win32-vm
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
passed=0
failed=0
check() {  # check NAME CONDITION...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok   $name"
  else failed=$((failed + 1)); echo "FAIL $name"; sed 's/^/     | /' "$out/log" | tail -n 20; fi
}
# qemu processes of this user that serve a job folder made by win32-vm.
vm_processes() { pgrep -u "$(id -u)" -f 'qemu-system-x86_64 .*mount_tag=job' || true; }
before=$(vm_processes)

run() {  # run LIMIT COMMAND...: sets status and elapsed
  local limit=$1; shift
  local t0=$SECONDS
  status=0
  (cd "$root" && "$vm" --timeout "$limit" -- "$@") >"$out/log" 2>&1 || status=$?
  elapsed=$((SECONDS - t0))
}

# Output, the working folder, the shared tree, real 32-bit Wine, and a crashing command's status.
run 300 bash -c 'echo "in $PWD"; test -f scripts/win32-vm && echo shared;
  wine "C:\\windows\\syswow64\\cmd.exe" /c echo wine32 says hi 2>/dev/null; kill -SEGV $$'
check "the command's output and its crash status (SIGSEGV: 139) come back" \
  bash -c "[ $status = 139 ] && grep -qx 'in $root' '$out/log' && grep -qx shared '$out/log' \
    && grep -q 'wine32 says hi' '$out/log'"

# A guest that hangs is killed at its bound.
run 60 sleep 100000
check "a hanging command ends at the bound (124) with a message" \
  bash -c "[ $status = 124 ] && [ $elapsed -lt 90 ] && grep -q 'timed out after' '$out/log'"

# A guest whose kernel dies ends the run at once, without waiting for the bound.
run 600 bash -c 'echo c >/proc/sysrq-trigger'
check "a guest that crashes ends the run (125) with the console's last lines" \
  bash -c "[ $status = 125 ] && [ $elapsed -lt 300 ] && grep -q 'without the command.s exit status' '$out/log'"

# A run stopped from outside (Ctrl-C, a CI job ended) takes its virtual machine with it.
(cd "$root" && timeout 45 "$vm" -- sleep 100000) >"$out/log" 2>&1
check "a run that is stopped leaves no virtual machine" bash -c "[ '$(vm_processes)' = '$before' ]"

check "no qemu process is left behind" bash -c "[ '$(vm_processes)' = '$before' ]"
echo "win32-vm: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

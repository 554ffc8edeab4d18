# Whether this machine's kernel runs 32-bit x86 programs itself (IA-32 emulation on).
# The probe is a 96-byte i386 program that exits with 42. A padding byte of its ELF identification
# is set, which the kernel ignores but which keeps binfmt_misc handlers such as qemu-i386 from
# claiming it: only the kernel's own loader can run it, so an emulator cannot fake the answer.
kernel_runs_ia32() {
  local probe status
  probe=$(mktemp "${TMPDIR:-/tmp}/ia32-probe.XXXXXX")
  printf '\x7fELF\x01\x01\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00' >"$probe"  # e_ident, EI_PAD[0]=1
  printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08' >>"$probe"        # exec, i386, entry
  printf '\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' >>"$probe"        # phoff 52
  printf '\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' >>"$probe"        # one program header
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' >>"$probe"  # PT_LOAD
  printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' >>"$probe"
  printf '\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' >>"$probe"        # exit(42)
  chmod +x "$probe"
  status=0
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  [ "$status" -eq 42 ]
}

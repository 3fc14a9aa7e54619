#!/usr/bin/env bash
# Reads the machine code of the four sweep kernels in a built binary and
# fails on anything that would make a memory figure measure the wrong work:
# a store wider or narrower than the kernel's word, an instruction that
# writes memory other than a plain store, or any vector register.
#
#   tests/check_sweep_kernels.sh BINARY     (an optimised build, with symbols)
set -euo pipefail
# Whatever ends the script early says where, instead of a bare exit status.
trap 'echo "check_sweep_kernels: failed at line $LINENO (status $?)" >&2' ERR
binary=${1:?usage: check_sweep_kernels.sh BINARY}
listing=$(objdump -d -C -M intel --no-show-raw-insn "$binary")
status=0
for row in "unsigned char:BYTE" "unsigned short:WORD" "unsigned int:DWORD" "unsigned long:QWORD"; do
  word=${row%%:*}
  size=${row##*:}
  # A here-string, not a pipe: awk leaves at the kernel's end, and a writer
  # into a pipe it no longer reads would die of SIGPIPE under pipefail.
  body=$(awk -v name="<void (anonymous namespace)::sweep_words<$word>(" '
    $0 ~ /^[0-9a-f]+ </ && index($0, name) > 0 { inside = 1; next }
    inside && /^$/ { exit }
    inside { sub(/^ *[0-9a-f]+:\t/, ""); print }' <<<"$listing")
  if [ -z "$body" ]; then
    echo "check_sweep_kernels: no kernel for $word words in $binary (inlined, or no symbols)" >&2
    status=1
    continue
  fi
  # The instruction, then its first operand: memory there means a write.
  writes=$(awk '$1 != "nop" && $3 == "PTR" && $4 ~ /^\[/' <<<"$body")
  wrong=$(awk -v size="$size" 'NF && !($1 == "mov" && $2 == size)' <<<"$writes")
  vectors=$(grep -E '[xyz]mm[0-9]' <<<"$body" || true)
  count=$(grep -c . <<<"$writes" || true)
  if [ -n "$wrong" ] || [ -n "$vectors" ] || [ "$count" -lt 9 ]; then
    echo "check_sweep_kernels: the $word kernel does not store one $size at a time ($count stores):" >&2
    printf '%s\n%s\n' "$wrong" "$vectors" | sed '/^$/d' >&2
    status=1
  else
    echo "check_sweep_kernels: $word kernel: $count stores, each one $size, no vector register"
  fi
done
exit $status

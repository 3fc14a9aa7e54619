#!/usr/bin/env bash
# The kernel check must not depend on how fast its readers are: the listing
# here is the binary's own followed by 4 MiB more, so any reader that stops
# at a kernel's end leaves a writer with far more than a pipe holds.
#
#   tests/check_sweep_kernels_slow_reader.sh BINARY
set -euo pipefail
binary=${1:?usage: check_sweep_kernels_slow_reader.sh BINARY}
here=$(cd "$(dirname "$0")" && pwd)
real_objdump=$(command -v objdump)
stub=$(mktemp -d)
trap 'rm -rf "$stub"' EXIT
cat >"$stub/objdump" <<STUB
#!/usr/bin/env bash
"$real_objdump" "\$@"
echo
for i in \$(seq 1 65536); do echo "  padding line \$i of a listing far longer than a pipe holds"; done
STUB
chmod +x "$stub/objdump"
PATH="$stub:$PATH" bash "$here/check_sweep_kernels.sh" "$binary"

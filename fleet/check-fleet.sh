#!/usr/bin/env bash
# Runs the playbook for real on this machine, as CI does, and checks what it
# brings home:
#   0. fleet/README.md's first play as written;
#   1. the README's command form with a relative results directory, built
#      from source: a valid record, the fleet report, no false failure;
#   2. every other documented variable (a prebuilt binary, a built
#      ovrel-compare, serial, timeout, poll, arguments, directory, parent),
#      two names for one machine, which must take turns, a host without
#      room, a host whose directory is in memory, a results directory
#      reused with stale files, and node_exporter's textfile directory;
#   3. --limit, which must not turn the hosts left out into failures, and
#      the work directories an interrupted play left;
#   4. hostile inventory names, refused before anything runs.
#
#   fleet/check-fleet.sh [OVREL_COMPARE] [OVREL_BENCH]
#       (defaults: build/ovrel-compare, build/ovrel-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
compare=$(realpath "${1:-build/ovrel-compare}")
bench=$(realpath "${2:-build/ovrel-bench}")
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

fail() {
  echo "check-fleet: $*" >&2
  exit 1
}

# 0. fleet/README.md's first play, word for word, from the root of a copy of
# the source tree (it writes ./results there): both names of this machine
# measured, and the fleet report shown as lines, not one string of escapes.
fleet_command=$(awk '
  $0 == "<!-- ci: fleet -->" { found = 1; next }
  inside { if ($0 == "```") exit; print; next }
  found { if ($0 == "```sh") inside = 1 }' fleet/README.md)
test -n "$fleet_command" || fail "fleet/README.md lost its marked first play"
mkdir "$results/copy"
tar -C "$repo" --exclude=./.git --exclude='./build*' --exclude=./results -cf - . | tar -C "$results/copy" -xf -
(cd "$results/copy" && bash -euo pipefail -c "$fleet_command") | tee "$results/first-play.txt"
for name in localhost localhost-again; do
  test -s "$results/copy/results/$name.json" || fail "the README's first play brought no record for $name"
done
grep -q -E '^ *"Fleet: 2 hosts, 2 runs\.",?$' "$results/first-play.txt" ||
  fail "the play did not show the fleet report line by line"
! grep -q 'Fleet: 2 hosts.*\\n' "$results/first-play.txt" || fail "the play showed the fleet report as one escaped string"

# 1. From another directory, with a relative results directory.
(cd "$results" && ansible-playbook -i localhost, -c local "$repo/fleet/ovrel-bench.yml" \
  -e ovrel_results=one -e "ovrel_args='--trials 1 --file-size 0'")
test -s "$results/one/localhost.json" || fail "no record fetched into the relative results directory"
test -s "$results/one/localhost.txt" || fail "no report fetched"
test ! -e "$results/one/localhost.error" || fail "a false error for a host that succeeded"
test ! -e "$repo/fleet/one" || fail "results written beside the playbook"
test -s "$results/one/fleet.txt" || fail "no fleet report"
test -s "$results/one/fleet.md" || fail "no Markdown fleet report"
"$compare" --fleet "$results/one/localhost.json" >/dev/null || fail "the fetched record is not valid"
grep -q "^CWD =.*/var/tmp/ovrel-bench-measure\." "$results/one/localhost.txt" ||
  fail "the default measured directory is not on the data file system"

# 2. A reused results directory: a stale error of a host that will succeed,
# and the record of a host no longer in the inventory.
mkdir "$results/two" "$results/textfile"
echo "stale" >"$results/two/localhost.error"
cp "$results/one/localhost.json" "$results/two/retired.json"
cat >"$results/inventory" <<'INVENTORY'
localhost ansible_connection=local
localhost-again ansible_connection=local ovrel_directory=/var/tmp
no-room ansible_connection=local ovrel_args='--only disk --trials 1 --file-size 1000000'
in-memory ansible_connection=local ovrel_parent=/dev/shm

[all:vars]
ovrel_args='--only disk --trials 1 --file-size 64M'
INVENTORY
ansible-playbook -i "$results/inventory" fleet/ovrel-bench.yml -e ovrel_results="$results/two" \
  -e ovrel_binary="$bench" -e ovrel_compare="$compare" -e ovrel_serial=4 -e ovrel_timeout=3600 -e ovrel_poll=1 \
  -e ovrel_textfile_dir="$results/textfile"
test -s "$results/two/localhost.json" || fail "no record for localhost"
test -s "$results/two/localhost-again.json" || fail "no record for localhost-again"
test ! -e "$results/two/localhost.error" || fail "a stale error was kept for a host that succeeded"
grep -q "^CWD =.*/var/tmp$" "$results/two/localhost-again.txt" || fail "ovrel_directory was not measured"
test ! -e "$results/two/no-room.json" || fail "a record for the host without room"
grep -q "Not enough free space" "$results/two/no-room.error" || fail "no-room.error lacks the refusal"
grep -q "file system in memory" "$results/two/in-memory.error" || fail "a directory in memory was measured"
grep -q "^Fleet: 2 hosts, 2 runs\.$" "$results/two/fleet.txt" || fail "the fleet report does not hold this play's two hosts"
grep -q "Too few hosts to judge outliers" "$results/two/fleet.txt" || fail "two hosts were judged"
# The metrics of the two hosts with records, whole and readable by the
# collector's user, and nothing else in its directory.
[ "$(ls -A "$results/textfile")" = "$(printf 'ovrel-bench-localhost-again.prom\novrel-bench-localhost.prom')" ] ||
  fail "the textfile directory holds $(ls -A "$results/textfile" | tr '\n' ' ')"
for host in localhost localhost-again; do
  metrics="$results/textfile/ovrel-bench-$host.prom"
  [ "$(stat -c %a "$metrics")" = 644 ] || fail "$metrics is not mode 0644"
  grep -q "^ovrel_rate_bytes_per_second{host=\"[^\"]*\",label=\"$host\",measurement=\"seek\"} " "$metrics" ||
    fail "$metrics lacks the seek rate"
  tail -n 1 "$metrics" | grep -qx '# EOF' || fail "$metrics is not whole"
  cmp -s "$metrics" "$results/two/$host.prom" || fail "$metrics differs from the results' copy"
  if command -v promtool >/dev/null; then
    [ -z "$(promtool check metrics <"$metrics" 2>&1)" ] || fail "promtool objects to $metrics"
  fi
done
# Two names for one machine share its disk: their runs must not overlap,
# and each writes bytes of its own seed.
python3 - "$results/two/localhost.json" "$results/two/localhost-again.json" <<'PYTHON' || fail "two runs of one machine overlapped"
import json, sys
a, b = (json.load(open(path)) for path in sys.argv[1:])
sys.exit(0 if a["ended_at"] <= b["started_at"] or b["ended_at"] <= a["started_at"] else 1)
PYTHON
python3 - "$results/two/localhost.json" "$results/two/localhost-again.json" <<'PYTHON' || fail "two hosts ran with one seed"
import json, sys
a, b = (json.load(open(path)) for path in sys.argv[1:])
sys.exit(0 if a["seed"] != b["seed"] else 1)
PYTHON

# 3. Hosts left out with --limit are neither measured nor failed. Work
# directories an interrupted play left behind go once their runs are long
# finished; one whose run is under way stays.
tmp=$(dirname "$(mktemp -u)")
stale=$(mktemp -d "$tmp/ovrel-bench.XXXXXX")
busy=$(mktemp -d "$tmp/ovrel-bench.XXXXXX")
touch -d '1 hour ago' "$stale/.finished"
ansible-playbook -i "$results/inventory" fleet/ovrel-bench.yml -e ovrel_results="$results/three" \
  -e ovrel_binary="$bench" -e ovrel_compare="$compare" --limit localhost
test ! -e "$stale" || fail "the work directory of a long-finished run was left behind"
test -d "$busy" || fail "the work directory of a run under way was removed"
rmdir "$busy"
test -s "$results/three/localhost.json" || fail "no record for the host of the limit"
for host in localhost-again no-room in-memory; do
  test ! -e "$results/three/$host.error" || fail "$host, left out by --limit, is reported as failed"
done

# A directory under the metrics' name (another user's, say) is not filled:
# the host fails with the reason and the directory stays as it was.
mkdir -p "$results/textfile-taken/ovrel-bench-localhost.prom"
if ansible-playbook -i "$results/inventory" fleet/ovrel-bench.yml -e ovrel_results="$results/taken" \
  -e ovrel_binary="$bench" -e ovrel_compare="$compare" --limit localhost \
  -e ovrel_textfile_dir="$results/textfile-taken" >"$results/taken.out" 2>&1; then
  fail "metrics put in place over a directory counted as success"
fi
grep -q "is a directory: the metrics were not put in place" "$results/taken.out" || fail "the refused rename does not say why"
test -z "$(ls -A "$results/textfile-taken/ovrel-bench-localhost.prom")" || fail "the metrics went into the directory"
test ! -e "$results/textfile-taken/ovrel-bench-localhost.prom.part" || fail "the refused metrics were left behind"

# 4. Names that would write outside the results directory or run a command
# on the control machine stop the play before anything runs.
mkdir -p "$results/four/deep/er"
for name in '../../escape' '{{ lookup("pipe", "touch '"$results"'/PWNED") }}'; do
  printf 'all:\n  hosts:\n    %s:\n      ansible_connection: local\n    localhost:\n      ansible_connection: local\n' \
    "'$name'" >"$results/hostile.yml"
  if ansible-playbook -i "$results/hostile.yml" fleet/ovrel-bench.yml -e ovrel_results="$results/four/deep/er" \
    -e ovrel_binary="$bench" -e ovrel_compare="$compare" >"$results/hostile.out" 2>&1; then
    fail "the inventory name $name was accepted"
  fi
  grep -q "Inventory names may hold" "$results/hostile.out" || fail "the refusal of $name does not say why"
  test ! -e "$results/PWNED" || fail "an inventory name ran a command on the control machine"
  test -z "$(find "$results/four" -type f)" || fail "files were written for the inventory name $name"
  test ! -e "$results/four/escape.json" -a ! -e "$results/four/escape.error" || fail "$name escaped"
done
echo "check-fleet: the playbook measured, fetched and reported as it should"

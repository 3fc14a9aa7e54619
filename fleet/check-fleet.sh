#!/usr/bin/env bash
# Runs the playbook for real on this machine, as CI does, and checks what it
# brings home: a valid record, the fleet report, two records for two names of
# one machine, and the error of a host without room for its file.
#
#   fleet/check-fleet.sh [OVREL_COMPARE]      (default: build/ovrel-compare)
set -euo pipefail
cd "$(dirname "$0")/.."
compare=${1:-build/ovrel-compare}
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

fail() {
  echo "check-fleet: $*" >&2
  exit 1
}

ansible-playbook -i localhost, -c local fleet/ovrel-bench.yml \
  -e ovrel_results="$results/one" -e "ovrel_args='--trials 1 --file-size 0'"
test -s "$results/one/localhost.json" || fail "no record fetched"
test -s "$results/one/localhost.txt" || fail "no report fetched"
test -s "$results/one/fleet.txt" || fail "no fleet report"
test -s "$results/one/fleet.md" || fail "no Markdown fleet report"
"$compare" --fleet "$results/one/localhost.json" >/dev/null || fail "the fetched record is not valid"

cat >"$results/inventory" <<'INVENTORY'
localhost ansible_connection=local
localhost-again ansible_connection=local
no-room ansible_connection=local ovrel_args='--only disk --trials 1 --file-size 1000000'

[all:vars]
ovrel_args='--only disk --trials 1 --file-size 64M'
INVENTORY
ansible-playbook -i "$results/inventory" fleet/ovrel-bench.yml -e ovrel_results="$results/two"
test -s "$results/two/localhost.json" || fail "no record for localhost"
test -s "$results/two/localhost-again.json" || fail "no record for localhost-again"
test ! -e "$results/two/no-room.json" || fail "a record for the host without room"
grep -q "Not enough free space" "$results/two/no-room.error" || fail "no-room.error lacks the refusal"
grep -q "^Fleet: 2 hosts, 2 runs\.$" "$results/two/fleet.txt" || fail "the fleet report does not hold two hosts"
grep -q "Too few hosts to judge outliers" "$results/two/fleet.txt" || fail "two hosts were judged"
echo "check-fleet: the playbook measured, fetched and reported as it should"

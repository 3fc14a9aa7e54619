#!/usr/bin/env bash
# The metrics of real runs through the real programs: promtool checks the
# file, node_exporter's textfile collector serves it, and a Prometheus server
# scraping node_exporter answers a query with the runs' figures. Everything
# listens on 127.0.0.1 only, on free ports, and is stopped at the end.
#
#   tests/check_prometheus.sh OVREL_BENCH OVREL_COMPARE
# Exit 77 (skipped) when the programs are not installed, unless
# OVREL_REQUIRE_ALL_TESTS=1.
set -euo pipefail
bench=${1:?usage: check_prometheus.sh OVREL_BENCH OVREL_COMPARE}
compare=${2:?usage: check_prometheus.sh OVREL_BENCH OVREL_COMPARE}
bench=$(realpath "$bench")
compare=$(realpath "$compare")

missing() {
  echo "check_prometheus: $1 is not installed (Debian: prometheus prometheus-node-exporter python3-prometheus-client)" >&2
  [ "${OVREL_REQUIRE_ALL_TESTS:-0}" = 1 ] && exit 1
  exit 77
}
for program in promtool prometheus prometheus-node-exporter python3; do
  command -v "$program" >/dev/null || missing "$program"
done
# Debian's package serves Debian's own Python, which may not be first on PATH.
system_python=/usr/bin/python3
"$system_python" -c 'import prometheus_client.openmetrics.parser' 2>/dev/null || missing "Python's prometheus_client"

work=$(mktemp -d /tmp/ovrel-prometheus.XXXXXX)
pids=()
stop() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop EXIT
cd "$work"
mkdir measured textfile

# A real run, and a copy of it from a host whose name and label would break
# a file that did not escape them. Its passes must take whole milliseconds
# to have rates: 256 MiB, which the page cache moves in about ten.
"$bench" --only disk --trials 2 --file-size 256M --yes --label 'disk "a"' --directory measured \
  --export-json run.json </dev/null >bench.out 2>bench.err
python3 - <<'EOF'
import json
run = json.load(open("run.json"))
run["machine"]["host_name"] = 'evil"host\\name\nx{a="b"}'
run["label"] = 'line\none\\two'
json.dump(run, open("hostile.json", "w"))
EOF

"$compare" --format openmetrics --output textfile/ovrel-bench.prom run.json hostile.json
if ! promtool check metrics <textfile/ovrel-bench.prom >promtool.out 2>&1 || [ -s promtool.out ]; then
  echo "check_prometheus: promtool check metrics objects:" >&2
  cat promtool.out >&2
  exit 1
fi
# OpenMetrics' own parser, which is stricter than the collector's.
"$system_python" - <<'EOF' || exit 1
import sys
from prometheus_client.openmetrics.parser import text_string_to_metric_families
families = list(text_string_to_metric_families(open("textfile/ovrel-bench.prom").read()))
if not any(f.name == "ovrel_rate_bytes_per_second" and f.unit == "bytes_per_second" for f in families):
    sys.exit("check_prometheus: the OpenMetrics parser found no rates")
EOF
ls -a textfile >listing
if [ "$(cat listing)" != "$(printf '.\n..\novrel-bench.prom')" ]; then
  echo "check_prometheus: the textfile directory holds more than the metrics file:" >&2
  cat listing >&2
  exit 1
fi

ports=$(python3 -c '
import socket
sockets = [socket.socket() for _ in range(2)]
for s in sockets:
    s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in sockets))')
read -r exporter_port server_port <<<"$ports"

prometheus-node-exporter --web.listen-address="127.0.0.1:$exporter_port" --collector.disable-defaults \
  --collector.textfile --collector.textfile.directory="$work/textfile" >exporter.log 2>&1 &
pids+=($!)
cat >prometheus.yml <<EOF
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: node
    static_configs:
      - targets: ["127.0.0.1:$exporter_port"]
EOF
prometheus --config.file=prometheus.yml --storage.tsdb.path="$work/data" \
  --web.listen-address="127.0.0.1:$server_port" >prometheus.log 2>&1 &
pids+=($!)

EXPORTER="http://127.0.0.1:$exporter_port/metrics" SERVER="http://127.0.0.1:$server_port" python3 - <<'EOF' || {
import json, os, sys, time, urllib.parse, urllib.request

def get(url):
    with urllib.request.urlopen(url, timeout=5) as response:
        return response.read().decode()

def wait_for(what, attempt, seconds=90):
    deadline = time.time() + seconds
    while True:
        try:
            result = attempt()
            if result is not None:
                return result
        except OSError:
            pass
        if time.time() > deadline:
            sys.exit(f"check_prometheus: {what} within {seconds} s")
        time.sleep(0.25)

MIB = 1048576.0
expected = {}
for name in ("run.json", "hostile.json"):
    run = json.load(open(name))
    for average in run["averages"]:
        key = (run["machine"]["host_name"], run["label"], average["id"])
        expected[key] = average["mib_per_s"] * MIB

# node_exporter serves the file, and read it without error.
metrics = wait_for("no metrics from node_exporter",
                   lambda: (lambda text: text if "ovrel_rate_bytes_per_second" in text else None)(get(os.environ["EXPORTER"])))
if "node_textfile_scrape_error 0" not in metrics:
    sys.exit("check_prometheus: node_exporter could not read the file:\n" + metrics)

# Prometheus scraped it and answers the query with the runs' values.
query = os.environ["SERVER"] + "/api/v1/query?" + urllib.parse.urlencode({"query": "ovrel_rate_bytes_per_second"})
def answered():
    result = json.loads(get(query))["data"]["result"]
    return result if len(result) == len(expected) else None
result = wait_for(f"Prometheus did not return {len(expected)} series", answered)
seen = {}
for series in result:
    labels = series["metric"]
    seen[(labels["host"], labels.get("label", ""), labels["measurement"])] = float(series["value"][1])
if set(seen) != set(expected):
    sys.exit(f"check_prometheus: series {sorted(seen)} against {sorted(expected)}")
for key, value in expected.items():
    if abs(seen[key] - value) > 1e-9 * value:
        sys.exit(f"check_prometheus: {key}: {seen[key]} from Prometheus, {value} in the record")
print(f"check_prometheus: {len(seen)} series served by node_exporter and returned by Prometheus, hostile labels intact")
EOF
  echo "--- node_exporter" >&2; tail -5 exporter.log >&2
  echo "--- prometheus" >&2; tail -5 prometheus.log >&2
  exit 1
}

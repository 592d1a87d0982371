#!/usr/bin/env bash
# Times whole runs of setnetid against a fresh store, beside /bin/true as the
# floor of starting a process at all.
#   bench/setnetid_run.sh BUILD_DIR [RUNS]
set -euo pipefail
build=${1:?usage: setnetid_run.sh BUILD_DIR [RUNS]}
runs=${2:-200}
store=$(mktemp -d)
trap 'rm -rf "$store"' EXIT
export NETID_REGISTRY_DIR=$store
"$build/tools/regctl/regctl" add 'HKLM\Software\Zadizovi\REdiVOR\System' /f >/dev/null

time_runs() {
  local start end
  start=$(date +%s%N)
  for ((i = 0; i < runs; i++)); do "$@" >/dev/null; done
  end=$(date +%s%N)
  echo $(((end - start) / runs / 1000))
}

floor=$(time_runs /bin/true)
tool=$(time_runs "$build/app/setnetid" IP 192.168.0.10)
missing=$(NETID_REGISTRY_DIR=$store time_runs "$build/app/setnetid" IP 256.0.0.1)
printf '%-40s %8s us per run\n' "/bin/true" "$floor" \
  "setnetid IP 192.168.0.10 (writes)" "$tool" \
  "setnetid IP 256.0.0.1 (range check)" "$missing"
"$build/tools/regctl/regctl" query 'HKLM\Software\Zadizovi\REdiVOR\System' /v AmsNetId

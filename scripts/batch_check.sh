#!/usr/bin/env bash
# Checks the two usual ways of running assay over many working directories:
#   scripts/batch_check.sh ASSAY parallel   GNU parallel on this machine
#   scripts/batch_check.sh ASSAY slurm      a Slurm job array on a one-node
#                                           Slurm started here (as root)
# It makes a few working directories, runs every one on its own, then all of
# them the batch way, and checks that each directory holds the same
# result.txt, method.txt and report (but for the report's first line, which
# names the time and the folder), and for GNU parallel the same exit status
# and, in the one results database all runs write at once, every evaluation
# of every directory under its name.
# Exit status 0 when they agree, 1 when not, 77 when the tools are missing.
set -euo pipefail
assay=$(realpath "${1:?usage: batch_check.sh ASSAY parallel|slurm}")
mode=${2:?usage: batch_check.sh ASSAY parallel|slurm}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/assay-batch-XXXXXX)
trap 'stop_slurm; [ -n "${ASSAY_BATCH_KEEP:-}" ] || rm -rf "$work"' EXIT
slurm_started=

# Stops the daemons and waits until they are gone.
stop_daemons() {
  local daemon
  for daemon in slurmd slurmctld munged; do
    pkill -x $daemon 2>/dev/null || true
    for _ in $(seq 50); do pgrep -x $daemon >/dev/null || break; sleep 0.2; done
  done
}
stop_slurm() {
  [ -n "$slurm_started" ] || return 0
  stop_daemons
}

# Working directories: the bundled example as it is, with an entry whose file
# is missing, and with another weight; and generated ones of other sizes.
make_stations() {
  local base=$1
  mkdir -p "$base"
  cp -r "$root/examples/demo" "$base/vienna"
  cp -r "$root/examples/demo" "$base/graz"
  rm "$base/graz/water_1.txt"
  cp -r "$root/examples/demo" "$base/linz"
  sed -i 's/^\^0.5$/^0.25/' "$base/linz/config.txt"
  local seed=1
  for name in salzburg innsbruck klagenfurt; do
    python3 "$root/scripts/make_workdir.py" "$base/$name" --files 6 --entries 12 --seed $seed >/dev/null
    seed=$((seed + 1))
  done
}

# Runs each directory on its own; its exit status goes into status.txt.
run_each() {
  local dir
  for dir in "$1"/*/; do
    (cd "$dir" && { "$assay" --strict --report report.jsonl >/dev/null 2>&1 && echo 0 || echo $?; } >status.txt)
  done
}

compare() {
  local reference=$1 batch=$2 failed=0 dir name
  for dir in "$reference"/*/; do
    name=$(basename "$dir")
    for file in result.txt method.txt; do
      cmp -s "$dir/$file" "$batch/$name/$file" || { echo "$name/$file differs"; failed=1; }
    done
    cmp -s <(tail -n +2 "$dir/report.jsonl") <(tail -n +2 "$batch/$name/report.jsonl") \
      || { echo "$name/report.jsonl differs"; failed=1; }
  done
  return $failed
}

make_stations "$work/reference"
run_each "$work/reference"
make_stations "$work/batch"

case "$mode" in
  parallel)
    command -v parallel >/dev/null || { echo "GNU parallel not found (apt-get install parallel)"; exit 77; }
    # The recipe of the README: one job per directory, a job log for restarts.
    (cd "$work" && parallel --will-cite --joblog joblog.txt "$assay" --strict --report report.jsonl \
        --db "$work/network.db" -C {} ::: batch/*/ >/dev/null 2>&1) || true
    failed=0
    compare "$work/reference" "$work/batch" || failed=1
    # The database holds as many evaluations of each station as its own
    # report has evaluate lines, and nothing else.
    python3 - "$work" <<'CHECK' || failed=1
import glob, json, os, sqlite3, sys
work = sys.argv[1]
db = sqlite3.connect(os.path.join(work, "network.db"))
stored = dict(db.execute("SELECT station, count(*) FROM evaluation GROUP BY station"))
expected = {}
for report in glob.glob(os.path.join(work, "reference", "*", "report.jsonl")):
    lines = [json.loads(line) for line in open(report, encoding="utf-8")]
    expected[os.path.basename(os.path.dirname(report))] = sum(
        1 for line in lines if line["kind"] == "evaluate" and line["row"] is not None)
if stored != expected:
    print("network.db holds %s evaluations per station, the reports %s" % (stored, expected))
    sys.exit(1)
CHECK
    # The job log's exit value of each directory is that of its own run.
    while IFS=$'\t' read -r _ _ _ _ _ _ exitval _ command; do
      [ "$exitval" = Exitval ] && continue
      name=$(basename "${command##* }")
      if [ "$exitval" != "$(cat "$work/reference/$name/status.txt")" ]; then
        echo "$name: exit status $exitval under GNU parallel, $(cat "$work/reference/$name/status.txt") alone"
        failed=1
      fi
    done < "$work/joblog.txt"
    exit $failed
    ;;
  slurm)
    for tool in slurmctld slurmd sbatch munged; do
      command -v $tool >/dev/null || { echo "$tool not found (apt-get install slurm-wlm munge)"; exit 77; }
    done
    [ "$(id -u)" = 0 ] || { echo "a local Slurm needs root"; exit 77; }
    host=$(hostname -s)
    conf=$work/slurm
    mkdir -p "$conf/state" "$conf/spool" /run/munge /etc/munge
    [ -s /etc/munge/munge.key ] || dd if=/dev/urandom of=/etc/munge/munge.key bs=1024 count=1 2>/dev/null
    chown -R munge:munge /etc/munge /run/munge 2>/dev/null || true
    chmod 400 /etc/munge/munge.key
    cat > "$conf/slurm.conf" <<CONF
ClusterName=assaycheck
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
AuthType=auth/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
StateSaveLocation=$conf/state
SlurmdSpoolDir=$conf/spool
SlurmctldPidFile=$conf/slurmctld.pid
SlurmdPidFile=$conf/slurmd.pid
SlurmctldLogFile=$conf/slurmctld.log
SlurmdLogFile=$conf/slurmd.log
ReturnToService=2
MpiDefault=none
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=check Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
    export SLURM_CONF=$conf/slurm.conf
    stop_daemons
    slurm_started=1
    runuser -u munge -- /usr/sbin/munged --force
    slurmctld -f "$SLURM_CONF"
    slurmd -f "$SLURM_CONF"
    for _ in $(seq 60); do
      sinfo -h -o %T 2>/dev/null | grep -q idle && break
      sleep 1
    done
    ls -d "$work"/batch/*/ > "$work/dirs.txt"
    tasks=$(( $(wc -l < "$work/dirs.txt") - 1 ))
    (cd "$work" && ASSAY=$assay sbatch --wait --quiet --array=0-$tasks --cpus-per-task=1 \
        "$root/examples/batch/assay-array.sbatch" dirs.txt) || true
    compare "$work/reference" "$work/batch"
    ;;
  *)
    echo "batch_check.sh: unknown mode '$mode'" >&2
    exit 2
    ;;
esac

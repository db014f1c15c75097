#!/bin/bash
# The recipes of docs/chunks.md, the page on long videos in chunks, run as
# a user runs them, as root on a Debian 12 machine: on GNU parallel, and as a
# Slurm job array on a one-node cluster that this script starts itself (munged,
# slurmctld and slurmd on this machine, configured in a temporary folder, all
# stopped at the end). The commands are taken from the page's text (the
# blocks marked <!-- recipe: NAME -->), with the chunk size C set to 10 frames
# for a 30-frame clip, and the manual page's copies must read the same. On
# each engine one chunk is made to fail: the join must refuse, and the
# page's way to run that chunk again must give video and audio
# bit-identical to a whole run. Exits 77, saying why, where Slurm cannot be
# installed or started (after the GNU parallel part has passed).
#   .ci/check_chunk_recipes.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:?usage: $0 BUILD_DIR}")
real_quenda=$build/bin/quenda
recipes=$root/docs/chunks.md
[ -x "$real_quenda" ] || { echo "no $real_quenda"; exit 1; }

# The indented block after "<!-- recipe: NAME -->" in the page.
recipe() {
    awk -v mark="<!-- recipe: $1 -->" '$0 == mark {on = 1; next} on && sub(/^    /, "") {print; started = 1; next}
        on && started {exit} on && /./ {exit}' "$recipes"
}
# The block between .EX and .EE after '.\" recipe: NAME' in the manual page, as text.
manual_recipe() {
    awk -v mark=".\\\\\" recipe: $1" '$0 == mark {on = 1; next} on && /^\.EX$/ {ex = 1; next}
        on && /^\.EE$/ {exit} ex {print}' "$root/packaging/quenda.1" |
        sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\e/\\/g'
}
for name in count parallel parallel-retry slurm slurm-retry; do
    [ -n "$(recipe "$name")" ] || { echo "docs/chunks.md has no recipe $name"; exit 1; }
done
for name in count parallel parallel-retry; do
    if [ "$(manual_recipe "$name")" != "$(recipe "$name")" ]; then
        echo "the manual page's recipe $name differs from docs/chunks.md's:"
        diff <(manual_recipe "$name") <(recipe "$name") || true
        exit 1
    fi
done

# shellcheck source=scripts/apt_install.sh
source "$root/scripts/apt_install.sh"
install_missing parallel

work=$(mktemp -d /tmp/quenda-chunks.XXXXXX)
host=$(hostname -s)
daemons=()
cluster_up=false  # jobs to cancel on this script's own cluster
stop_daemons() {
    if $cluster_up; then
        timeout 10 scancel --quiet --user=root 2>/dev/null || true
        # The job steps' slurmstepd outlive their jobs a moment; ours carry
        # this cluster's SLURM_CONF, inherited from slurmd.
        local pid steps
        for _ in $(seq 50); do
            steps=()
            for pid in $(pgrep -x slurmstepd || true); do
                grep -qzx "SLURM_CONF=$SLURM_CONF" "/proc/$pid/environ" 2>/dev/null && steps+=("$pid")
            done
            [ ${#steps[@]} -eq 0 ] && break
            sleep 0.2
        done
        [ ${#steps[@]} -eq 0 ] || kill "${steps[@]}" 2>/dev/null || true
    fi
    local i
    for ((i = ${#daemons[@]} - 1; i >= 0; i--)); do
        kill "${daemons[i]}" 2>/dev/null || true
        wait "${daemons[i]}" 2>/dev/null || true
    done
    daemons=()
}
trap 'stop_daemons; rm -rf "$work"' EXIT

# A chunk that fails as on a node where the plug-in cannot load, while
# $work/fail names its range: quenda's own error, exit status 5.
mkdir "$work/bin"
cat > "$work/bin/quenda" <<EOF
#!/bin/sh
if [ -e "$work/fail" ]; then
    case " \$* " in *" --frames \$(cat "$work/fail") "*)
        exec "$real_quenda" "\$@" --plugin /nonexistent/quenda_dx11.so ;;
    esac
fi
exec "$real_quenda" "\$@"
EOF
chmod +x "$work/bin/quenda"
export PATH="$work/bin:$PATH"

# The clip, with FLAC audio, and the whole run to compare with.
mkdir "$work/clip"
ffmpeg -v error -f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 1.2 -c:v ffv1 -c:a flac "$work/clip/in.mkv"
quenda denoise "$work/clip/in.mkv" "$work/clip/whole.mkv" --quiet
# Decoded video and audio with their times, frame by frame.
content() { ffmpeg -v error -i "$1" -map 0 -f framemd5 -; }
content "$work/clip/whole.mkv" > "$work/clip/whole.md5"

# A recipe run in the current folder by bash, as typed, after the frame count.
run_recipe() {
    printf '%s\nexport C=10\n%s\n' "$(recipe count)" "$(recipe "$1")" > "recipe-$1.sh"
    echo "\$ the recipe $1, from docs/chunks.md:" >&2
    sed 's/^/    /' "recipe-$1.sh" >&2
    bash "recipe-$1.sh" < /dev/null
}
same_as_whole() {
    [ -f out.mkv ] || { echo "$1: no out.mkv"; exit 1; }
    cmp <(content out.mkv) "$work/clip/whole.md5" || { echo "$1: out.mkv differs from the whole run"; exit 1; }
    echo "$1: out.mkv is bit-identical to the whole run (video and audio)"
}

echo "-- GNU parallel"
mkdir "$work/parallel" && cd "$work/parallel"
cp "$work/clip/in.mkv" .
echo 10:20 > "$work/fail"
status=0
run_recipe parallel 2>&1 | tee run.txt || status=$?
[ "$status" -eq 3 ] || { echo "parallel: the join after a failed chunk exited $status, not 3"; exit 1; }
grep -q 'frames 10 to 19 are missing between part-0.mkv and part-20.mkv' run.txt ||
    { echo "parallel: the join did not name the frames missing"; exit 1; }
[ ! -e out.mkv ] || { echo "parallel: a refused join left out.mkv"; exit 1; }
rm "$work/fail"
run_recipe parallel-retry
same_as_whole parallel

echo "-- Slurm"
slurm_skip() {
    echo "Slurm recipe skipped: $*"
    exit 77
}
install_missing slurm-wlm munge || slurm_skip "slurm-wlm and munge could not be installed"
mkdir -m 700 "$work/munge" "$work/slurm"
mkdir "$work/slurm/state" "$work/slurm/spool"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chmod 600 "$work/munge/munge.key"
munged --foreground --force --socket="$work/munge/socket" --key-file="$work/munge/munge.key" \
    --log-file="$work/munge/munged.log" --pid-file="$work/munge/munged.pid" --seed-file="$work/munge/seed" \
    > "$work/munge/munged.out" 2>&1 &
daemons+=($!)
for _ in $(seq 50); do [ -S "$work/munge/socket" ] && break; sleep 0.1; done
[ -S "$work/munge/socket" ] || { cat "$work/munge/munged.out"; slurm_skip "munged did not start (its log is above)"; }
read -r ctld_port slurmd_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
# CPUs=8 with config_overrides: two tasks of --cpus-per-task=4 at a time
# whatever the machine has.
cat > "$work/slurm/slurm.conf" <<EOF
ClusterName=quenda-ci
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge/socket
StateSaveLocation=$work/slurm/state
SlurmdSpoolDir=$work/slurm/spool
SlurmctldPidFile=$work/slurm/slurmctld.pid
SlurmdPidFile=$work/slurm/slurmd.pid
SlurmctldLogFile=$work/slurm/slurmctld.log
SlurmdLogFile=$work/slurm/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SlurmdParameters=config_overrides
ReturnToService=2
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
NodeName=$host NodeAddr=127.0.0.1 CPUs=8 State=UNKNOWN
PartitionName=ci Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF=$work/slurm/slurm.conf
cluster_up=true
slurmctld -D -i -f "$SLURM_CONF" > "$work/slurm/slurmctld.out" 2>&1 &
daemons+=($!)
slurmd -D -N "$host" -f "$SLURM_CONF" > "$work/slurm/slurmd.out" 2>&1 &
daemons+=($!)
node_idle() { timeout 3 sinfo -h -o %T 2>/dev/null | grep -q idle; }
deadline=$((SECONDS + 30))
until node_idle || [ $SECONDS -ge $deadline ]; do sleep 1; done
if ! node_idle; then
    tail -n 20 "$work/slurm"/slurmctld.log "$work/slurm"/slurmd.log "$work/slurm"/*.out 2>/dev/null || true
    slurm_skip "the one-node cluster did not come up (logs above)"
fi
sinfo

# Until the cluster has no job left, at most two minutes.
wait_for_jobs() {
    for _ in $(seq 120); do
        [ -z "$(squeue -h)" ] && return 0
        sleep 1
    done
    squeue
    echo "Slurm: jobs still there after two minutes"
    exit 1
}

mkdir "$work/slurm-run" && cd "$work/slurm-run"
cp "$work/clip/in.mkv" .
echo 20:30 > "$work/fail"
run_recipe slurm
wait_for_jobs
# Slurm cancels the join that can no longer run: it never starts.
[ ! -e out.mkv ] && [ ! -e join.log ] || { echo "Slurm: the join ran although task 2 failed"; exit 1; }
grep -q 'quenda: error' chunk-2.log || { echo "Slurm: chunk-2.log does not hold the failed task's error"; exit 1; }
rm "$work/fail"
run_recipe slurm-retry | tee retry.txt
[ "$(head -n 1 retry.txt)" = chunk-2.log ] || { echo "Slurm: the failed task is not the one named"; exit 1; }
wait_for_jobs
cat join.log
same_as_whole Slurm
grep -q 'joined 3 parts' join.log || { echo "Slurm: join.log holds no summary"; exit 1; }
echo "chunk recipes passed"

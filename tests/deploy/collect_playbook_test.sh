#!/usr/bin/env bash
# The collection playbook against hosts on this machine: three machines,
# each with a host name of its own (a UTS namespace) and an sshd on its own
# loopback address, all inside one network namespace made for the test;
# one host that refuses to run as root, one whose address answers no one,
# and three that run a stand-in collector: one ends as a failed packing
# does (exit 3, the plain report kept), one with exit code 5, and one is a
# program the host cannot run. Every machine's
# container (and the plain report) must come back, verify and carry its own
# host name; the others must be named as failed, and why.
#
# Usage: collect_playbook_test.sh SIFTERRA KDTOOL
# Exit 77 (skipped) where Ansible, sshd, root or namespaces are missing.
set -u

here=$(cd "$(dirname "$0")" && pwd)
playbook="$here/../../deploy/ansible/collect.yml"
sifterra=$1
kdtool=$2

skip() {
  echo "skipped: $*"
  exit 77
}

if [ "${COLLECT_TEST_INSIDE:-}" != yes ]; then
  command -v ansible-playbook >/dev/null 2>&1 || skip "ansible-playbook is not installed (Debian package ansible-core; .ci/run installs it)"
  [ -x /usr/sbin/sshd ] || skip "sshd is not installed (Debian package openssh-server; .ci/run installs it)"
  command -v ssh-keygen >/dev/null 2>&1 || skip "ssh-keygen is not installed (Debian package openssh-client)"
  [ "$(id -u)" = 0 ] || skip "the hosts need root for their network and UTS namespaces"
  unshare -n -u -p -f --mount-proc true 2>/dev/null || skip "this machine gives no network, UTS and PID namespaces"
  # Everything below runs in a network namespace of its own, whose
  # addresses are loopback addresses that exist nowhere else, and in a PID
  # namespace of its own (with its own /proc, as the collector's tools
  # expect), so that no ssh session outlives the test.
  COLLECT_TEST_INSIDE=yes exec unshare -n -p -f --mount-proc -- "$0" "$@"
fi

set -e
ip link set lo up
work=$(mktemp -d /tmp/sifterra-collect-test.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*"
  exit 1
}

mkdir -p /run/sshd "$work/home" "$work/remote-tmp"
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/id"
cp "$work/id.pub" "$work/authorized_keys"

machines=(alpha bravo charlie)
case_id=CS-4711
declare -A address=([alpha]=127.0.0.2 [bravo]=127.0.0.3 [charlie]=127.0.0.4 [delta]=127.0.0.5)
for host in alpha bravo charlie delta; do
  cat >"$work/sshd_$host.conf" <<CONF
ListenAddress ${address[$host]}:22
HostKey $work/host_key
PidFile $work/sshd_$host.pid
AuthorizedKeysFile $work/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
CONF
  unshare -u -- sh -c "hostname sifterra-test-$host && exec /usr/sbin/sshd -D -e -f '$work/sshd_$host.conf'" \
    2>"$work/sshd_$host.log" &
  pids+=($!)
done

# The stand-ins: a real plain report kept after "failed" packing, and a
# collector that fails outright.
(cd "$work" && mkdir plain && cd plain && "$sifterra" -silent -filenamekept TulipMarch -caseCS-4711 && rm kept.KD2)
cat >"$work/exit3" <<STANDIN
#!/bin/sh
cp '$work/plain/kept.XML' kept.XML
printf '\nDone. Information is stored in kept.XML\n\n'
exit 3
STANDIN
printf '#!/bin/sh\necho broken >&2\nexit 5\n' >"$work/exit5"
printf '\177ELF, but for no machine\n' >"$work/foreign"

cat >"$work/inventory" <<INV
[machines]
alpha ansible_host=127.0.0.2
bravo ansible_host=127.0.0.3
charlie ansible_host=127.0.0.4
# Logs in as root, but the run would be the user nobody.
delta ansible_host=127.0.0.5 ansible_become=true ansible_become_method=su ansible_become_user=nobody ansible_become_flags='-s /bin/sh'
# Nothing listens here.
down ansible_host=127.0.0.9
echo ansible_host=127.0.0.4 sifterra_binary=$work/exit3
foxtrot ansible_host=127.0.0.4 sifterra_binary=$work/exit5
golf ansible_host=127.0.0.4 sifterra_binary=$work/foreign

[machines:vars]
sifterra_binary=$sifterra
ansible_user=root
ansible_become=false
ansible_ssh_private_key_file=$work/id
ansible_ssh_common_args='-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o ConnectTimeout=5'
ansible_python_interpreter=/usr/bin/python3
INV

# Wait for the sshd of each machine to listen.
for host in alpha bravo charlie delta; do
  for _ in $(seq 50); do
    ssh -q -i "$work/id" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o BatchMode=yes \
      "root@${address[$host]}" true 2>/dev/null && break
    sleep 0.2
  done
done

export ANSIBLE_CONFIG="$work/ansible.cfg" ANSIBLE_HOME="$work/ansible-home" ANSIBLE_LOCAL_TEMP="$work/local-tmp"
export ANSIBLE_REMOTE_TMP="$work/remote-tmp" ANSIBLE_HOST_KEY_CHECKING=False ANSIBLE_NOCOLOR=1
export ANSIBLE_SSH_CONTROL_PATH_DIR="$work/cp" ANSIBLE_RETRY_FILES_ENABLED=False
printf '[defaults]\nforks = 5\n' >"$ANSIBLE_CONFIG"

cd "$work"
set +e
ansible-playbook -i inventory "$playbook" -e "case=$case_id" -e "kdtool_binary=$kdtool" >"$work/playbook.log" 2>&1
rc=$?
set -e
show_log() { sed -n '1,400p' "$work/playbook.log"; }
[ "$rc" -ne 0 ] || { show_log; fail "the playbook said success although two hosts failed"; }

table="$work/collected/$case_id/hosts.txt"
[ -f "$table" ] || { show_log; fail "no table of hosts"; }
echo "== hosts.txt"
cat "$table"

# Collected first, in inventory order, then the failed ones and why.
mapfile -t lines <"$table"
[ "${#lines[@]}" -eq 8 ] || fail "8 lines expected in the table"
for i in 0 1 2; do
  [[ "${lines[$i]}" =~ ^${machines[$i]}\ +collected\ +$work/collected/$case_id/${machines[$i]}/$case_id-sifterra-test-${machines[$i]}-.+\.KD2$ ]] ||
    { show_log; fail "line $((i + 1)): ${lines[$i]}"; }
done
[[ "${lines[3]}" == "echo     collected  $work/collected/$case_id/echo/kept.XML  (exit code 3: plain report, not packed)" ]] ||
  fail "line 4: ${lines[3]}"
[[ "${lines[4]}" =~ ^delta\ +failed\ +not\ root:\ uid\ 65534$ ]] || fail "line 5: ${lines[4]}"
[[ "${lines[5]}" =~ ^down\ +failed\ +unreachable:\ .*127\.0\.0\.9 ]] || fail "line 6: ${lines[5]}"
[[ "${lines[6]}" =~ ^foxtrot\ +failed\ +exit\ code\ 5$ ]] || fail "line 7: ${lines[6]}"
[[ "${lines[7]}" =~ ^golf\ +failed\ +could\ not\ start\ the\ collector:\ .*Exec\ format\ error ]] || fail "line 8: ${lines[7]}"
"$kdtool" verify "$work/collected/$case_id/echo/kept.XML" >/dev/null || fail "echo: the plain report does not verify"

# Each container verifies and carries its own host name and the case.
for host in "${machines[@]}"; do
  files=("$work/collected/$case_id/$host"/*)
  [ "${#files[@]}" -eq 1 ] || fail "$host: one file expected, found ${files[*]}"
  "$kdtool" verify "${files[0]}" >/dev/null || fail "$host: the container does not verify"
  "$kdtool" show --section "Running Processes" "${files[0]}" | grep -q "USER  *PID" ||
    fail "$host: no process list in the container"
  row=$("$kdtool" summary --csv "${files[0]}" | sed -n 2p)
  IFS=, read -r _ name _ _ _ _ _ _ _ case_cell _ <<<"$row"
  [ "$name" = "sifterra-test-$host" ] || fail "$host: the container names host $name"
  [ "$(printf '%s' "$case_cell" | tr -d '\r')" = "$case_id" ] || fail "$host: case id $case_cell"
done
# The summary of the case: the three machines and the plain report.
summary="$work/collected/$case_id/summary.csv"
[ "$(wc -l <"$summary")" -eq 5 ] && [ "$(grep -c ",sifterra-test-" "$summary")" -eq 3 ] ||
  fail "summary.csv: $(cat "$summary")"
for host in delta down foxtrot golf; do
  [ ! -e "$work/collected/$case_id/$host" ] || fail "$host got a folder"
done

# Nothing of the runs is left on the hosts.
leftovers=$(find /tmp "$work/remote-tmp" -maxdepth 1 -name "sifterra-$case_id-*" 2>/dev/null)
[ -z "$leftovers" ] || fail "left on the hosts: $leftovers"

echo "collected ${#machines[@]} hosts and a plain report, 4 named as failed: OK"

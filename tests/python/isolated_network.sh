#!/usr/bin/env bash
# Runs a Python test module inside private network namespaces, never on the
# machine's real adapters: searches broadcast to 255.255.255.255.
#
#   isolated_network.sh PYTHON MODULE
#
# First with two library adapters (198.51.100.1/25 on qa0, 198.51.100.129/25
# on qb0), each joined by a veth pair to a device side (198.51.100.2/25 on
# qa1, 198.51.100.130/25 on qb1) for the simulator's responders
# (QUILVANE_NETWORK=two-adapters); then with loopback only
# (QUILVANE_NETWORK=none). Needs root.
set -euo pipefail
python=$1
module=$2
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" != 0 ]; then
  echo "skipped: creating a private network namespace needs root"
  exit 77
fi

unshare -n bash -euo pipefail -c '
  ip link set lo up
  ip link add qa0 type veth peer name qa1
  ip link add qb0 type veth peer name qb1
  ip addr add 198.51.100.1/25 dev qa0
  ip addr add 198.51.100.2/25 dev qa1
  ip addr add 198.51.100.129/25 dev qb0
  ip addr add 198.51.100.130/25 dev qb1
  for l in qa0 qa1 qb0 qb1; do ip link set "$l" up; done
  QUILVANE_NETWORK=two-adapters exec "$1" -B "$2/run.py" "$3"
' bash "$python" "$here" "$module"

unshare -n bash -euo pipefail -c '
  ip link set lo up
  QUILVANE_NETWORK=none exec "$1" -B "$2/run.py" "$3"
' bash "$python" "$here" "$module"

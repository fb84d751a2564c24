#!/usr/bin/env bash
# Runs a test program inside a private network namespace, never on the
# machine's real adapters: searches and probes broadcast to 255.255.255.255.
#
#   isolated_network.sh TEST_PROGRAM
#
# The namespace gets two adapters for the library (198.51.100.1/25 on qa0,
# 198.51.100.129/25 on qb0), each joined by a veth pair to a device side
# (198.51.100.2/25 on qa1, 198.51.100.130/25 on qb1) where the tests run the
# simulator's responders. A second run in a namespace without adapters
# checks what the library does when it finds none. Needs root.
set -euo pipefail
program=$1
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
  QUILVANE_NETWORK=two-adapters exec "$1" --gtest_filter="-NoAdapter.*"
' bash "$program"

unshare -n bash -euo pipefail -c '
  ip link set lo up
  QUILVANE_NETWORK=none exec "$1" --gtest_filter="NoAdapter.*"
' bash "$program"

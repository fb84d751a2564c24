#!/usr/bin/env bash
# Runs a test command inside private network namespaces, never on the
# machine's real adapters: searches and probes broadcast to 255.255.255.255.
#
#   isolated_network.sh COMMAND [ARGUMENT...]
#
# First with two adapters for the library (198.51.100.1/25 on qa0,
# 198.51.100.129/25 on qb0), each joined by a veth pair to a device side
# (198.51.100.2/25 on qa1, 198.51.100.130/25 on qb1) where the tests run the
# simulator's responders: QUILVANE_NETWORK=two-adapters. Then again in a
# namespace with loopback only: QUILVANE_NETWORK=none (QUILVANE_NETWORKS names
# fewer, e.g. "two-adapters"). Tests skip what does
# not belong to the network they find. Needs root.
#
# Both ends of each pair are in this namespace: the library has all four
# addresses as adapters, and a device hears a request by the system's local
# copy of the one sent from the device side's own address. Linux drops a
# datagram from one of its own addresses unless the interface accepts local
# sources and does no reverse-path check (the rp_filter in effect is the
# larger of "all" and the interface's): qa0 and qb0 do both, so that they
# hear a device's broadcast reply too; qa1 and qb1 do not, so that a device
# hears each request once. Addresses carry their subnet's broadcast address
# ("brd +"), as Windows adapters always do.
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "skipped: creating a private network namespace needs root"
  exit 77
fi

for network in ${QUILVANE_NETWORKS:-two-adapters none}; do
  unshare -n bash -euo pipefail -c '
    ip link set lo up
    if [ "$0" = two-adapters ]; then
      ip link add qa0 type veth peer name qa1
      ip link add qb0 type veth peer name qb1
      ip addr add 198.51.100.1/25 brd + dev qa0
      ip addr add 198.51.100.2/25 brd + dev qa1
      ip addr add 198.51.100.129/25 brd + dev qb0
      ip addr add 198.51.100.130/25 brd + dev qb1
      for l in qa0 qa1 qb0 qb1; do ip link set "$l" up; done
      sysctl -qw net.ipv4.conf.all.rp_filter=0
      for l in qa0 qb0; do sysctl -qw "net.ipv4.conf.$l.rp_filter=0" "net.ipv4.conf.$l.accept_local=1"; done
    fi
    QUILVANE_NETWORK=$0 exec "$@"
  ' "$network" "$@"
done

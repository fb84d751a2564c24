#!/usr/bin/env bash
# What isolated_network.sh runs in its private network namespace for a
# Windows program that broadcasts:
#
#   WINEPREFIX=PREFIX [QUILVANE_SIM=PATH QUILVANE_SIM_BROKER=PATH]
#     isolated_network.sh isolated_wine.sh ADAPTER_CHECK PROGRAM [ARGUMENT...]
#
# PROGRAM is a Windows program (.exe), or a Linux test program that runs
# Windows programs through the wrappers in BUILD/wine/.
#
# Wine makes every socket in the wineserver, which must therefore start in
# here: a fresh copy of the prefix gets a server of its own. Before PROGRAM
# runs, adapter_check's "Bound to ADDRESS:PORT" lines must show that the
# library binds only this network's addresses.
set -euo pipefail
here=$(dirname "$0")
if [ -z "${WINEPREFIX-}" ] || [ $# -lt 2 ]; then
  echo "usage: WINEPREFIX=PREFIX isolated_wine.sh ADAPTER_CHECK PROGRAM [ARGUMENT...]" >&2
  exit 2
fi
prefix=$WINEPREFIX check=$1
shift
fresh=$(mktemp -d "${prefix%/}.isolated.XXXXXX")
trap 'WINEPREFIX=$fresh wineserver -k 2>/dev/null || true; rm -rf "$fresh"' EXIT
# Hard links (wine replaces the files it changes) but for the registry
# files; without the "wineserver" file, which names the running server.
cp -al "$prefix/." "$fresh/"
rm -f "$fresh/wineserver" "$fresh"/*.reg
cp "$prefix"/*.reg "$fresh/"

export WINEPREFIX=$fresh
# A new wineserver boots wine's services beside the first program, and the
# network driver that lists adapters may not answer yet: an empty listing
# on a network that has adapters is asked again, for up to 10 s.
for try in $(seq 20); do
  listed=$(QUILVANE_SIM_BROKER='' "$here/wine_run.sh" "$check")
  [ "${QUILVANE_NETWORK-}" != two-adapters ] || grep -q '^Bound to ' <<<"$listed" || { sleep 0.5; continue; }
  [ "$try" = 1 ] || echo "wine listed the adapters at attempt $try"
  break
done
echo "$listed"
grep -q '^adapters listed' <<<"$listed" || { echo "FAILED: adapter_check did not run" >&2; exit 1; }
outside=$(grep '^Bound to ' <<<"$listed" | grep -v '^Bound to 198\.51\.100\.[0-9]*:' || true)
if [ -n "$outside" ]; then
  echo "FAILED: the library would use adapters outside the private network:" >&2
  echo "$outside" >&2
  exit 1
fi
if [ "${QUILVANE_NETWORK-}" = two-adapters ] && ! grep -q '^Bound to ' <<<"$listed"; then
  echo "FAILED: wine sees none of the private network's adapters, in 20 listings over 10 s" >&2
  exit 1
fi
case $1 in
  *.exe) "$here/wine_run.sh" "$@" ;;
  # A Linux test whose children are Windows programs in this prefix.
  *) "$@" ;;
esac

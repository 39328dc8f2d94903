#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and this machine lacks;
# does nothing when everything is there.
set -euo pipefail
needed=(cmake make g++ pkg-config libgsl-dev libgtest-dev parallel)
missing=()
for pkg in "${needed[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

#!/usr/bin/env bash
# Calls go one way: driver -> engine -> toolkit. Fails on an include that points upwards.
cd "$1" || exit 1
bad=$(grep -n -E '#include "(engine|driver)/' toolkit/* 2>/dev/null;
      grep -n -E '#include "driver/' engine/* 2>/dev/null)
if [ -n "$bad" ]; then
  echo "Upward includes:"; echo "$bad"; exit 1
fi
echo "layering ok"

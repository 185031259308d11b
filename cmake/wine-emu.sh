#!/bin/sh
# Runs a Windows test executable under Wine. A cold wineserver would inherit
# CTest's output pipe and cost seconds per test, so make sure a persistent,
# detached server is running first.
if wineserver -p </dev/null >/dev/null 2>&1; then
  wine wineboot </dev/null >/dev/null 2>&1
fi
exec wine "$@"

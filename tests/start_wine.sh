#!/bin/sh
# Keeps one wine server running for the whole suite: without it every run of a
# Windows executable waits for wine's start-up and shut-down. The first start
# makes the prefix (WINEPREFIX), which takes a while.
set -e
mkdir -p "$WINEPREFIX"
# Fails when a server for this prefix already runs, which serves as well.
wineserver -p >/dev/null 2>&1 || true
wineboot -i >/dev/null 2>&1

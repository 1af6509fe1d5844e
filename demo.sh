#!/usr/bin/env bash
# The demo (see tools/demo.sh).
exec "$(dirname "$0")/tools/demo.sh" "$@"

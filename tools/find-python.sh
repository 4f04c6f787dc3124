#!/usr/bin/env bash
# Prints the path of a Python 3.13 interpreter: python3.13 on PATH, else
# pyenv's versions folder, else Debian's python3.13 packages (installed with
# apt-get when missing). Fails with a message saying what is missing.
set -u
works() { "$1" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }

for p in python3.13 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 /usr/bin/python3.13; do
    if works "$p"; then command -v "$p" 2>/dev/null || echo "$p"; exit 0; fi
done

if command -v apt-get >/dev/null 2>&1; then
    echo "Python 3.13 not found; installing python3.13-dev python3.13-venv with apt-get" >&2
    { apt-get update -qq && apt-get install -y -qq python3.13-dev python3.13-venv; } >&2 || true
    if works /usr/bin/python3.13; then echo /usr/bin/python3.13; exit 0; fi
fi

echo "error: no Python 3.13 interpreter: put python3.13 on PATH, install it with pyenv, or" \
     "install Debian's python3.13-dev and python3.13-venv packages" >&2
exit 1

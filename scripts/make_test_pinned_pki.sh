#!/usr/bin/env bash
# Issues the TEST chain: the same four names as the release chain, its own keys.
# Tests and the test-pinned builds pin it, and the end-to-end tests sign
# libraries with its leaf key, so its keys are committed beside the
# certificates in tests/pki/pinned/. They protect nothing.
#
# Existing keys are reused, so running this again reproduces the committed
# certificates byte for byte; delete a key to roll it.
#
# The leaf is signed with SHA-1: Wine's trust provider only applies its
# chain-trust policy to such leaves, which lets end-to-end tests see a real
# untrusted-root refusal.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=make_release_pki.sh
source "$root/scripts/make_release_pki.sh"
out=$root/tests/pki/pinned
mkdir -p "$out"
issue_chain "$out" "$out" 7E57 sha1
echo "test chain written to $out"

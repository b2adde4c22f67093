#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under Wine in a fresh prefix.
source "$(dirname "$0")/common.sh"
ensure_packages
build
start_private_wine test
cd "$ROOT"
set +e +o pipefail
rc=0
# The Windows-free text rules, fuzzed natively under the sanitizers (whole runs only).
# The command-line modes end to end on a prefix of their own (whole runs only).
# Monitoring end to end (the dialog, the simulated VCI, the monitor, the logs)
# on another prefix of its own; its HTML log then opened in headless Chromium;
# recording a session and replaying the edited log.
# The package's MSI installed, upgraded and removed under msiexec on one more.
if [ "$#" = 0 ]; then
  bash "$ROOT/tests/native/run.sh" || rc=1
  bash "$ROOT/tests/e2e/modes.sh" || rc=1
  bash "$ROOT/tests/e2e/monitoring.sh" || rc=1
  # The HTML log of that session searched and filtered in headless Chromium.
  bash "$ROOT/tests/browser/run.sh" || rc=1
  bash "$ROOT/tests/e2e/pdu_monitoring.sh" || rc=1
  bash "$ROOT/tests/e2e/scenario.sh" || rc=1
  bash "$ROOT/tests/e2e/installer.sh" || rc=1
fi
# The same test tables in both trees: the 32-bit one (with Varrow's dialog) and
# the 64-bit one (the libraries shipped for both architectures, run by the same wine).
for tree in "$BUILD" "$BUILD64"; do
  log "ctest in ${tree#$ROOT/}"
  ctest --test-dir "$tree" --output-on-failure -j2 --timeout 120 "$@" 2>&1 | grep -v -E '^ *([0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|Start +[0-9]+: )'
  [ "${PIPESTATUS[0]}" = 0 ] || rc=1
done
exit "$rc"

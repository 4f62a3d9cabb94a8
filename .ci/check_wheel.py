"""Checks a repaired Linux x86-64 wheel of linara before it is installed.

- its name carries the cp311-abi3 tag, a manylinux platform tag and the
  version that pyproject.toml gives;
- it holds the module, its type stubs (beside it and as a stub package) and
  the command-line package, and nothing grafted in by the repair;
- the module exports PyInit_linara and no other symbol;
- outside the routines chosen at run time by processor (named *_avx2 and
  *_avx512), no instruction needs more than the x86-64 baseline (SSE2), so
  the module loads and runs on any x86-64 processor.

    python .ci/check_wheel.py WHEEL
"""

import re
import subprocess
import sys
import tempfile
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Mnemonics of instruction sets beyond SSE2 that carry no "v" prefix and
# use no ymm/zmm/mask register. tzcnt is left out: compilers emit it for
# "rep bsf", which older processors run as bsf.
BEYOND_BASELINE = set("""
    addsubpd addsubps haddpd haddps hsubpd hsubps lddqu movddup movshdup movsldup
    pabsb pabsw pabsd palignr phaddw phaddd phaddsw phsubw phsubd phsubsw pmaddubsw pmulhrsw
    pshufb psignb psignw psignd
    blendpd blendps blendvpd blendvps dppd dpps extractps insertps movntdqa mpsadbw packusdw
    pblendvb pblendw pcmpeqq pextrb pextrd pextrq phminposuw pinsrb pinsrd pinsrq pmaxsb pmaxsd
    pmaxud pmaxuw pminsb pminsd pminud pminuw pmuldq pmulld ptest roundpd roundps roundsd roundss
    crc32 pcmpestri pcmpestrm pcmpistri pcmpistrm pcmpgtq popcnt lzcnt movbe
    andn bextr blsi blsmsk blsr bzhi mulx pdep pext rorx sarx shlx shrx
""".split())
WIDE_REGISTER = re.compile(r"%(ymm|zmm)\d+|%k[0-7]\b")
DISPATCHED = re.compile(r"_avx2\b|_avx512\b")


def fail(message):
    sys.exit(f"check_wheel: {message}")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def check_name(wheel):
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    pattern = rf"linara-{re.escape(version)}-cp311-abi3-manylinux_\d+_\d+_x86_64\.whl"
    if not re.fullmatch(pattern, wheel.name):
        fail(f"{wheel.name} is not named {pattern}")
    print(f"tag: {wheel.name}")


def check_contents(names):
    top = {name.split("/")[0] for name in names}
    dist_info = {t for t in top if t.endswith(".dist-info")}
    expected = {"linara.abi3.so", "linara.pyi", "linara-stubs", "linara_cli"}
    if top - dist_info != expected or len(dist_info) != 1:
        fail(f"unexpected top level {sorted(top)}")
    for name in ("linara-stubs/__init__.pyi", "linara-stubs/py.typed", "linara_cli/data/rocket.jpg"):
        if name not in names:
            fail(f"{name} is missing")
    print(f"contents: {', '.join(sorted(expected))} and {dist_info.pop()}")


def check_exports(module):
    symbols = [line.split()[-1] for line in run("nm", "-D", "--defined-only", str(module)).splitlines()]
    if symbols != ["PyInit_linara"]:
        fail(f"the module exports {symbols}")
    print("exported: PyInit_linara only")


def routine_name(demangled):
    """The qualified name without its parameter list."""
    return demangled.replace("(anonymous namespace)", "{anonymous}").split("(")[0]


def beyond_baseline(mnemonic, operands):
    return mnemonic.startswith("v") or mnemonic in BEYOND_BASELINE or \
        mnemonic.startswith(("pmovsx", "pmovzx")) or bool(WIDE_REGISTER.search(operands))


def check_instructions(module):
    listing = run("objdump", "-d", "-C", "--no-show-raw-insn", str(module))
    if "<PyInit_linara>:" not in listing or "<linara::" not in listing:
        fail("the module carries no symbol table, so instructions cannot be told apart by routine")
    wide = {}
    function = None
    for line in listing.splitlines():
        header = re.match(r"[0-9a-f]+ <(.*)>:$", line)
        if header:
            function = header.group(1)
            continue
        instruction = re.match(r"\s+[0-9a-f]+:\s+(\S+)\s*(.*)", line)
        if instruction and function and beyond_baseline(*instruction.groups()):
            wide.setdefault(function, set()).add(instruction.group(1))
    stray = {f: m for f, m in wide.items() if not DISPATCHED.search(routine_name(f))}
    if stray:
        fail("instructions beyond the x86-64 baseline outside the dispatched routines:\n" +
             "\n".join(f"  {f}: {' '.join(sorted(m)[:8])}" for f, m in stray.items()))
    if not wide:
        fail("no dispatched vector routine found; the check would prove nothing")
    print(f"instructions beyond SSE2 only in {len(wide)} dispatched routines:")
    for function in sorted(wide, key=routine_name):
        print(f"  {routine_name(function)}")


def main(path):
    wheel = Path(path)
    check_name(wheel)
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as tmp:
        check_contents(set(archive.namelist()))
        module = Path(archive.extract("linara.abi3.so", tmp))
        check_exports(module)
        check_instructions(module)


if __name__ == "__main__":
    main(*sys.argv[1:])

#!/usr/bin/env python3
"""tools/odr-check against a tiny build tree: two units that define one test
double differently are reported (exit 1); one definition in two units is not."""
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
BASE = "namespace orvane { struct PowerControl { virtual ~PowerControl() = default; virtual bool request(int) = 0; }; }\n"
QUIET = "namespace orvane::test { struct NoPower : PowerControl { bool request(int) override { return false; } }; }\n"
RECORDING = ("#include <vector>\nnamespace orvane::test { struct NoPower : PowerControl { std::vector<int> asked;\n"
             "  bool request(int a) override { asked.push_back(a); return false; } }; }\n")


def tree(root, units):
    d = root / "CMakeFiles" / "prog.dir"
    d.mkdir(parents=True)
    for i, body in enumerate(units):
        src = root / f"u{i}.cpp"
        src.write_text(BASE + body + f"orvane::PowerControl* make{i}() {{ return new orvane::test::NoPower; }}\n")
        subprocess.run(["c++", "-std=c++20", "-O0", "-c", str(src), "-o", str(d / f"u{i}.o")], check=True)
    return subprocess.run([str(ROOT / "tools" / "odr-check"), str(root)], capture_output=True, text=True)


def main():
    with tempfile.TemporaryDirectory() as t:
        clash = tree(pathlib.Path(t) / "clash", [QUIET, RECORDING])
        same = tree(pathlib.Path(t) / "same", [QUIET, QUIET])
    ok = True
    if clash.returncode != 1 or "orvane::test::NoPower::request(int)" not in clash.stdout:
        print("two definitions of NoPower not reported:\n" + clash.stdout + clash.stderr)
        ok = False
    if same.returncode != 0 or "0 symbols defined differently" not in same.stdout:
        print("one definition reported as a clash:\n" + same.stdout + same.stderr)
        ok = False
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()

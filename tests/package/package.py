"""The packages as a user meets them: `cpack --preset release` and `cpack --preset windows`
from the source tree, then the .deb unpacked into a scratch root and run from there, the
zip's contents, the version that dorvane.exe carries, and the manual page as man renders
it."""
import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def makepackages(source):
    """Builds and packs each preset; returns False when a step fails, after showing it."""
    for preset in ("release", "windows"):
        for step in (["cmake", "--preset", preset], ["cmake", "--build", "--preset", preset],
                     ["cpack", "--preset", preset]):
            result = run(step, cwd=source)
            if result.returncode != 0:
                print(" ".join(step), "failed:\n", result.stdout, result.stderr)
                return False
    return True


def checkdeb(deb, version, work):
    root = os.path.join(work, "root")
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    fields = run(["dpkg-deb", "-f", deb, "Package", "Version"]).stdout
    check(fields == f"Package: dorvane\nVersion: {version}\n", f"deb control fields: {fields!r}")
    for path in ("usr/bin/dorvane", "usr/share/man/man1/dorvane.1.gz",
                 "usr/share/doc/dorvane/copyright"):
        check(os.path.isfile(os.path.join(root, path)), f"deb lacks /{path}")

    dorvane = os.path.join(root, "usr/bin/dorvane")
    result = run([dorvane, "/bin/true"], timeout=60)
    report = (r"dorvane\.exe: CreateProcess\(\) made pid = (\d+)\n"
              r'file "/usr/bin/true"\n\tnew process pid \1\n\texit process pid \1 ecode 0x0\n'
              r"root process exited with exit code 0x0\n"
              r"dorvane\.exe: Exiting with exit code 0x0\n")
    check(result.returncode == 0 and re.fullmatch(report, result.stdout),
          f"the unpacked dorvane on /bin/true: exit {result.returncode}, {result.stdout!r}")

    with gzip.open(os.path.join(root, "usr/share/man/man1/dorvane.1.gz"), "rt") as page:
        text = page.read()
    check(f'"dorvane {version}"' in text, "the manual page does not name the version")
    # -ww: every warning; -z: no output, only the diagnostics.
    groff = run(["groff", "-ww", "-z", "-man"], input=text)
    check(groff.returncode == 0 and groff.stderr == "",
          f"groff on the manual page: {groff.stderr!r}")


def checktgz(tgz, version):
    with tarfile.open(tgz) as archive:
        names = archive.getnames()
    top = f"dorvane-{version}-Linux"
    for path in ("bin/dorvane", "share/man/man1/dorvane.1.gz"):
        check(f"{top}/{path}" in names, f"tar.gz lacks {path}: {names}")


def checkzip(zipname, version, work):
    top = f"dorvane-{version}-win64"
    with zipfile.ZipFile(zipname) as archive:
        files = sorted(n for n in archive.namelist() if not n.endswith("/"))
        check(files == [f"{top}/LICENSE", f"{top}/README.md", f"{top}/dorvane.exe"],
              f"zip contents: {files}")
        exe = archive.extract(f"{top}/dorvane.exe", work)

    # windres reads the resources back out of the executable, as an .rc script.
    rc = run(["x86_64-w64-mingw32-windres", "-J", "coff", "-O", "rc", "-i", exe]).stdout
    major, minor, patch = version.split(".")
    check(f"FILEVERSION {major}, {minor}, {patch}, 0" in rc, "FILEVERSION of dorvane.exe")
    for name in ("FileVersion", "ProductVersion"):
        check(f'VALUE "{name}", "{version}"' in rc, f"{name} of dorvane.exe:\n{rc}")
    for name in ("FileDescription", "ProductName", "LegalCopyright"):
        check(f'VALUE "{name}", "' in rc, f"dorvane.exe has no {name}")

    # Static: nothing to install beside it on a bare Windows.
    dump = run(["x86_64-w64-mingw32-objdump", "-p", exe]).stdout
    dlls = sorted(re.findall(r"DLL Name: (\S+)", dump))
    check(dlls == ["KERNEL32.dll", "msvcrt.dll"], f"dorvane.exe imports {dlls}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)

    if not makepackages(args.source):
        return 1
    release = os.path.join(args.source, "build", "release")
    checkdeb(os.path.join(release, f"dorvane_{args.version}_amd64.deb"), args.version, args.work)
    checktgz(os.path.join(release, f"dorvane-{args.version}-Linux.tar.gz"), args.version)
    checkzip(os.path.join(args.source, "build", "windows", f"dorvane-{args.version}-win64.zip"),
             args.version, args.work)
    print(f"{len(failures)} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

# Sourced by the scripts beside it: installs, on Debian 12 as root, the packages that the
# build and the tests need and that this machine lacks; nothing when all are there.
needed="cmake make g++ python3 libgtest-dev mingw-w64 wine wine64 strace"
# Packaging: dpkg-shlibdeps (dpkg-dev) finds the .deb's dependencies; groff checks the
# manual page.
needed="$needed dpkg-dev groff-base"
# The eBPF tracker: its kernel half is compiled by clang against libbpf's headers and
# wrapped by bpftool into a skeleton that needs no library at run time. Its tests run gdb
# inside the tree and give a copy of dorvane file capabilities with setcap (libcap2-bin).
needed="$needed clang bpftool libbpf-dev gdb libcap2-bin"
# The job-control tests drive a real terminal, with bash's job control in it, through tmux.
needed="$needed tmux"
missing=""
for package in $needed; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    apt-get update
    # Recommends are left out: none of them is needed, Wine's included (it runs the
    # console programs of the tests without its fonts, sound or graphics libraries).
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi

# Wine: a private prefix, no downloads, no dialogs, no crash debugger window.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

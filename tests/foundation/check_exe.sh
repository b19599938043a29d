#!/bin/sh
# Checks the built program from outside: it imports only Windows system DLLs,
# its stripped copy stays small, and nothing of the simulated dock is linked
# into it (while the demo build, which has the simulation, shows that the
# probes would find it).
#   check_exe.sh OBJDUMP NM PRODUCT_EXE STRIPPED_EXE DEMO_EXE CONSOLE_TWIN_EXE
# The console twin must link nothing of the window, and run as a console program.
set -u
objdump=$1 nm=$2 product=$3 stripped=$4 demo=$5 twin=$6
max_bytes=2097152
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Windows' own DLLs the program may use; anything else would have to ship beside it.
allowed="kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll shlwapi.dll ole32.dll oleaut32.dll
msvcrt.dll advapi32.dll shell32.dll setupapi.dll cfgmgr32.dll winusb.dll ntdll.dll version.dll uxtheme.dll
wintrust.dll crypt32.dll"

check_imports() {
  exe=$1
  if [ ! -f "$exe" ]; then
    fail "$exe is missing"
    return
  fi
  dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr 'A-Z' 'a-z' | tr -d '\r')
  if [ -z "$dlls" ]; then
    fail "$exe: no import table found"
    return
  fi
  echo "$exe imports:" $dlls
  echo "$dlls" | grep -qx 'kernel32.dll' || fail "$exe does not import KERNEL32.dll"
  for dll in $dlls; do
    case " $(echo $allowed) " in
      *" $dll "*) ;;
      *) fail "$exe imports $dll, which is not a Windows system DLL" ;;
    esac
  done
}

check_imports "$product"
check_imports "$stripped"
check_imports "$twin"

# Windows resolves the imports of every shipped executable from System32
# only: its load configuration's DependentLoadFlags is
# LOAD_LIBRARY_SEARCH_SYSTEM32 (0x800), read back through data directory 10.
check_load_configuration() {
  [ -f "$1" ] || return
  flags=$(python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
optional = pe + 24
rva, size = struct.unpack_from("<II", data, optional + 112 + 8 * 10)
if rva == 0:
    print("none"); sys.exit()
count = struct.unpack_from("<H", data, pe + 6)[0]
sections = optional + struct.unpack_from("<H", data, pe + 20)[0]
for i in range(count):
    vsize, address, raw_size, raw = struct.unpack_from("<IIII", data, sections + 40 * i + 8)
    if address <= rva < address + max(vsize, raw_size):
        offset = raw + rva - address
        declared = struct.unpack_from("<I", data, offset)[0]
        print("size-mismatch" if declared != size else hex(struct.unpack_from("<H", data, offset + 0x4E)[0]))
        sys.exit()
print("outside")
PY
)
  echo "$1 DependentLoadFlags: $flags"
  [ "$flags" = "0x800" ] || fail "$1 does not limit its imports to System32 (load configuration: $flags)"
}
for exe in "$product" "$stripped" "$twin" "$(dirname "$twin")/stripped/$(basename "$twin")"; do
  check_load_configuration "$exe"
done


# The stripped copy is the one shipped: it must be current and small.
if [ -f "$stripped" ]; then
  size=$(wc -c < "$stripped")
  echo "stripped size: $size bytes (limit $max_bytes)"
  [ "$size" -le "$max_bytes" ] || fail "stripped exe is $size bytes, over $max_bytes"
  [ "$product" -nt "$stripped" ] && fail "stripped copy is older than the product exe"
  "$objdump" -t "$stripped" | grep -q 'no symbols' || fail "stripped exe still has a symbol table"
fi

# Simulated-dock traces: its state-file names (narrow or UTF-16, so NULs are
# dropped before searching) and its symbols.
sim_text_count() {
  tr -d '\000' < "$1" | grep -a -c -e 'VARNOCK_SIM_DOCK' -e 'sim-dock\.ini'
}
sim_symbol_count() {
  "$nm" "$1" 2>/dev/null | grep -c -i -e 'simdock' -e 'sim_dock'
}
libusb_internal_count() {
  "$nm" "$1" 2>/dev/null | grep -c ' usbi_'
}

for exe in "$product" "$stripped"; do
  [ -f "$exe" ] || continue
  [ "$(sim_text_count "$exe")" -eq 0 ] || fail "$exe contains the simulated dock's state-file names"
done
[ "$(sim_symbol_count "$product")" -eq 0 ] || fail "$product links simulated-dock code"
# The product answers USB through the real libusb, whose internals carry usbi_ names.
[ "$(libusb_internal_count "$product")" -gt 0 ] || fail "$product does not link the real libusb"

# The twin starts without the window's libraries, and as a console program.
if [ -f "$twin" ]; then
  twin_dlls=$("$objdump" -p "$twin" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr 'A-Z' 'a-z' | tr -d '\r')
  for dll in user32.dll gdi32.dll comctl32.dll comdlg32.dll ole32.dll shell32.dll shlwapi.dll; do
    echo "$twin_dlls" | grep -qx "$dll" && fail "$twin imports $dll, a library of the window"
  done
  "$objdump" -p "$twin" | grep -q 'Subsystem.*(Windows CUI)' || fail "$twin is not a console program"
  "$objdump" -p "$product" | grep -q 'Subsystem.*(Windows GUI)' || fail "$product is not a GUI program"
  [ "$(libusb_internal_count "$twin")" -gt 0 ] || fail "$twin does not link the real libusb"
  [ "$(sim_symbol_count "$twin")" -eq 0 ] || fail "$twin links simulated-dock code"
fi

if [ -f "$demo" ]; then
  [ "$(sim_text_count "$demo")" -gt 0 ] || fail "probe cannot see the simulation: no state-file names in $demo"
  [ "$(sim_symbol_count "$demo")" -gt 0 ] || fail "probe cannot see the simulation: no SimDock symbols in $demo"
  [ "$(libusb_internal_count "$demo")" -eq 0 ] || fail "$demo links the real libusb beside the simulation"
else
  fail "$demo is missing (build VarnockFWUpdateDemo)"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all exe checks passed"

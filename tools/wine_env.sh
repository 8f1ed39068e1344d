# Wine environment shared by ./run and tools/winerun (sourced, not run).

# True when this kernel starts 32-bit Linux programs, which a 32-bit Wine needs; some
# virtual machines disable that, and then the tests run the 64-bit build in a 64-bit Wine.
pw_ia32_works() {
    [ -x /usr/lib/wine/wineserver32 ] && /usr/lib/wine/wineserver32 --version >/dev/null 2>&1
}

# "win64" for a 64-bit PE file, "win32" for a 32-bit one; otherwise what the host runs.
pw_exe_wine_arch() {
    local machine=""
    if [ -f "${1:-}" ]; then
        machine=$(python3 - "$1" <<'PY' 2>/dev/null
import struct, sys
with open(sys.argv[1], "rb") as f:
    data = f.read(4096)
offset = struct.unpack_from("<I", data, 0x3C)[0]
print(hex(struct.unpack_from("<H", data, offset + 4)[0]))
PY
)
    fi
    case "$machine" in
        0x8664) echo win64 ;;
        0x14c) echo win32 ;;
        *) if pw_ia32_works; then echo win32; else echo win64; fi ;;
    esac
}

# Exports the Wine variables for an architecture and a source root; PW_WINE is the loader.
pw_wine_env() {
    local arch=$1 root=$2
    export PW_WINE_ARCH=$arch
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEARCH=$arch
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
    export TZ=${TZ:-UTC}
    if [ "$arch" = win64 ]; then
        export WINEPREFIX=${WINEPREFIX:-$root/build/x64/wineprefix}
        export WINELOADER=/usr/lib/wine/wine64
        PW_WINE=/usr/lib/wine/wine64
    else
        export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
        PW_WINE=wine
    fi
}

# A fresh prefix has no font with Japanese glyphs (Windows ships them), so the agent's menu and
# tip would draw as boxes: link Wine's UI font (Tahoma, which also stands for "MS Shell Dlg")
# to Debian's Noto Sans CJK. Cheap on a prefix that has it: one look at the saved registry.
PW_CJK_FONT=/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc
pw_wine_cjk_font() {
    local link="NotoSansCJK-Regular.ttc,Noto Sans CJK JP"
    if [ ! -f "$PW_CJK_FONT" ]; then
        echo "run: $PW_CJK_FONT missing (package fonts-noto-cjk): Japanese texts draw as boxes" >&2
        return 0
    fi
    grep -qF "\"Tahoma\"=str(7):\"$link\\0\"" "$WINEPREFIX/system.reg" 2>/dev/null && return 0
    "$PW_WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
        /v Tahoma /t REG_MULTI_SZ /d "$link" /f </dev/null >/dev/null 2>&1
}

# Sourced by the scripts that run Windows programs under Wine.
# wine_use ARCH (i686 or x86_64) sets WINE (the loader to run programs with),
# WINEARCH, WINELOADER, MINGW (the cross tools' prefix) and WINE_PROCESSOR
# (what the prefix reports as PROCESSOR_ARCHITECTURE).
# The wine wrapper picks the 32-bit loader whenever wine32 is installed, even
# where 32-bit programs cannot run, so 64-bit runs name the 64-bit loader.
wine_use() {
  case $1 in
    i686)
      WINE=wine MINGW=i686-w64-mingw32 WINE_PROCESSOR=x86
      export WINEARCH=win32
      unset WINELOADER ;;
    x86_64)
      WINE=/usr/lib/wine/wine64 MINGW=x86_64-w64-mingw32 WINE_PROCESSOR=AMD64
      export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 ;;
    *) echo "wine_use: unknown architecture '$1'" >&2; return 2 ;;
  esac
}

# Architecture of a PE file: i686 or x86_64 (empty when unknown).
pe_arch() {
  case $(objdump -f "$1" 2>/dev/null | sed -n 's/.*file format \(.*\)$/\1/p') in
    pei-i386) echo i686 ;;
    pei-x86-64) echo x86_64 ;;
  esac
}

# Whether 32-bit Wine (Debian's wine32, whose loader this is) is installed.
wine32_installed() { [ -x /usr/lib/wine/wine ]; }

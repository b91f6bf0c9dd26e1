#!/usr/bin/env bash
# compare.sh LINUX_PROBE WINDOWS_PROBE DEVIATIONS PREFIX
#
# Runs the CryptoAPI probe built on the Linux stand-in and the one built on wincrypt (under
# wine64, in the Wine prefix PREFIX, made on first use), and checks that their outputs differ
# exactly where DEVIATIONS says, with the values it lists. A new difference, a listed one whose
# values changed, and a listed one that is gone all fail, and the lines concerned are printed;
# a file with the current differences in the deviation file's format is written beside PREFIX
# to help bring the list up to date.
#
# The deviation file: "reason: ..." lines, each followed by the entries it explains, one a line:
# key<TAB>Linux value<TAB>Wine value, "<absent>" for a key one side doesn't print. Blank lines
# and lines starting with '#' are skipped.
set -euo pipefail

linux_probe=$1
windows_probe=$2
deviations=$3
prefix=$(realpath -m "$4")

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
if [[ ! -x $wine ]]; then
  echo "SKIP: $wine is not installed"
  exit 77
fi
[[ -x $wineserver ]] || wineserver=$(command -v wineserver || true)
for probe in "$linux_probe" "$windows_probe"; do
  if [[ ! -f $probe ]]; then
    echo "FAIL: $probe is missing: build the targets cryptoapi_probe and cryptoapi_probe_windows"
    exit 1
  fi
done

work=$(mktemp -d)
fresh=""
trap 'rm -rf "$work" ${fresh:+"$fresh"}' EXIT
trap 'exit 143' INT TERM

# Both probes see Taiwan's ANSI code page (950), language and time zone. (The locale need not
# be installed: both read the variable's name.)
locale_env=(env LC_ALL=zh_TW.UTF-8 TZ=Asia/Taipei)
export WINELOADER=$wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# make_prefix creates PREFIX once. A prefix is made under a temporary name and renamed into
# place when wineboot and the wine server are done with it, so an interrupted run never leaves
# a half-made one under the real name; the lock keeps two runs from making it at once.
make_prefix() {
  local ready=$prefix/.kestrune-prefix-ready
  [[ -f $ready ]] && return 0
  mkdir -p "$(dirname "$prefix")"
  # The lock's descriptor is closed for every Wine process (9>&-): the wine server outlives
  # the run and would hold the lock.
  exec 9>"$prefix.lock"
  flock -w 100 9 || {
    echo "FAIL: another run has held $prefix.lock for 100 s"
    exit 1
  }
  if [[ ! -f $ready ]]; then
    # A prefix without the mark, or under a temporary name, is one an interrupted run was
    # making (only the holder of the lock makes one): its wine server goes first.
    local stale
    for stale in "$prefix" "$prefix".new.*; do
      [[ -e $stale ]] || continue
      WINEPREFIX=$stale "$wineserver" -k 9>&- 2>/dev/null || true
      rm -rf "$stale"
    done
    fresh=$(mktemp -d "$prefix.new.XXXXXX")
    WINEPREFIX=$fresh timeout 90 "$wine" wineboot -i </dev/null >"$work/wineboot.log" 2>&1 9>&- || {
      cat "$work/wineboot.log"
      echo "FAIL: wineboot could not make the prefix"
      exit 1
    }
    WINEPREFIX=$fresh timeout 30 "$wineserver" -w 9>&-
    touch "$fresh/.kestrune-prefix-ready"
    mv -T "$fresh" "$prefix"
    fresh=""
  fi
  exec 9>&-
}

run_linux() {
  mkdir -p "$work/home/data" "$work/home/config"
  "${locale_env[@]}" XDG_DATA_HOME="$work/home/data" XDG_CONFIG_HOME="$work/home/config" \
    HOME="$work/home" timeout 60 "$linux_probe" >"$work/linux.out" 2>"$work/linux.err" || {
    cat "$work/linux.err"
    echo "FAIL: the Linux probe failed"
    exit 1
  }
}

run_windows() {
  "${locale_env[@]}" WINEPREFIX="$prefix" timeout 60 "$wine" "$windows_probe" </dev/null >"$work/wine.raw" \
    2>"$work/wine.err" || {
    cat "$work/wine.err"
    echo "FAIL: the Windows probe failed under Wine"
    exit 1
  }
  tr -d '\r' <"$work/wine.raw" >"$work/wine.out"
}

make_prefix
run_linux
run_windows

# The outputs stay beside the prefix for a look after a failure.
out_dir=$(dirname "$prefix")
for side in linux wine; do
  cp "$work/$side.out" "$out_dir/.cryptoapi_probe.$side.$$"
  mv -f "$out_dir/.cryptoapi_probe.$side.$$" "$out_dir/cryptoapi_probe.$side.txt"
done
proposed=$out_dir/wine_deviations.proposed.txt
# Each finding is one line "key \001 text" with \002 for its line breaks, sorted by key.
awk -F'\t' -v deviations="$deviations" -v raw="$work/proposed.raw" '
  function value(side, key) { return (key in side) ? side[key] : "<absent>" }
  function fail(key, text) { gsub(/\n/, "\002", text); print key "\001" text; failures++ }
  FILENAME == ARGV[1] { linux[substr($0, 1, index($0, "\t") - 1)] = substr($0, index($0, "\t") + 1); next }
  FILENAME == ARGV[2] { wine[substr($0, 1, index($0, "\t") - 1)] = substr($0, index($0, "\t") + 1); next }
  /^#/ || /^$/ { next }
  /^reason:/ { reason = $0; sub(/^reason: */, "", reason); next }
  {
    if (NF != 3 || reason == "") {
      print "~\001FAIL: " deviations ":" FNR " is not key<TAB>Linux<TAB>Wine under a reason: line"
      bad = 1; exit 1
    }
    if ($1 in listedLinux) {
      print "~\001FAIL: " deviations ":" FNR " lists " $1 " a second time"
      bad = 1; exit 1
    }
    listedLinux[$1] = $2; listedWine[$1] = $3; listedReason[$1] = reason; listed++
  }
  END {
    if (bad) exit 1
    for (key in linux) keys[key] = 1
    for (key in wine) keys[key] = 1
    for (key in keys) {
      l = value(linux, key); w = value(wine, key)
      if (l == w) {
        if (key in listedLinux)
          fail(key, "GONE  " key "  (" listedReason[key] ")\n  both now: " l)
        continue
      }
      differing[key] = 1; differ++
      if (!(key in listedLinux))
        fail(key, "NEW DIFFERENCE  " key "\n  Linux: " l "\n  Wine:  " w)
      else if (listedLinux[key] != l || listedWine[key] != w)
        fail(key, "CHANGED  " key "  (" listedReason[key] ")\n  listed Linux: " listedLinux[key] \
             "\n  now Linux:    " l "\n  listed Wine:  " listedWine[key] "\n  now Wine:     " w)
    }
    for (key in listedLinux)
      if (!(key in keys)) fail(key, "GONE  " key "  (printed by neither probe)")
    nl = 0; for (key in linux) nl++
    nw = 0; for (key in wine) nw++
    print "~1\001" nl " Linux lines, " nw " Wine lines, " differ + 0 " keys differ, " listed + 0 " listed"
    if (nl < 100 || nw < 100) fail("~2", "FAIL: a probe printed almost nothing")
    if (failures == 0) exit 0
    for (key in differing)
      print ((key in listedReason) ? listedReason[key] : "REASON NEEDED") "\t" key "\t" \
            value(linux, key) "\t" value(wine, key) > raw
    print "~3\001FAIL: " failures " difference(s) not as listed in " deviations
    exit 1
  }' "$work/linux.out" "$work/wine.out" "$deviations" | LC_ALL=C sort -t $'\001' -k1,1 -s |
  cut -d $'\001' -f2- | tr '\002' '\n' || status=$?
if [[ ${status:-0} -ne 0 ]]; then
  if [[ -s $work/proposed.raw ]]; then
    # The current differences in the deviation file's format, under the reasons listed for them.
    {
      echo "# The differences of the last run, under the reasons the list gave them."
      LC_ALL=C sort -t $'\t' -k1,1 -k2,2 "$work/proposed.raw" | awk -F'\t' '
        $1 != last { print ""; print "reason: " $1; last = $1 }
        { print $2 "\t" $3 "\t" $4 }'
    } >"$proposed.$$"
    mv -f "$proposed.$$" "$proposed"
    echo "The current differences, in the deviation file's format: $proposed"
  fi
  exit 1
fi
echo "PASS: the stand-in and Wine differ exactly where the deviation file says"

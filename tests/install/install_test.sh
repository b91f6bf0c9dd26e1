#!/usr/bin/env bash
# An install into a scratch prefix: the programs run from there, on the library installed
# beside them, and the agent's user unit names the installed program.
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

cmake --install "$build" --prefix "$root/usr" >/dev/null
for program in kestrune fedi-ca; do
  [[ -x "$root/usr/bin/$program" ]] || { echo "FAIL: $program is not installed"; exit 1; }
done
version=$("$root/usr/bin/kestrune" --version)
[[ "$version" == "kestrune "* ]] || { echo "FAIL: kestrune --version printed '$version'"; exit 1; }
"$root/usr/bin/fedi-ca" --version >/dev/null
# The installed program loads the installed library, not the build's.
library=$(LD_DEBUG=libs "$root/usr/bin/kestrune" explain 1500 2>&1 >/dev/null |
  sed -n 's/.*calling init: \(.*libkestrune\.so\)$/\1/p' | head -n1)
[[ "$library" == "$root/usr/"* ]] || { echo "FAIL: the installed kestrune loaded '$library'"; exit 1; }
text=$("$root/usr/bin/kestrune" explain 1500)
[[ "$text" == "1500: "* ]] || { echo "FAIL: explain printed '$text'"; exit 1; }

# The user unit written by the installed program starts the installed program.
home="$root/home"
mkdir -p "$home"
HOME=$home XDG_CONFIG_HOME=$home/.config "$root/usr/bin/kestrune" serve --install-user-unit \
  >/dev/null 2>&1 || true
unit=$(find "$home" -name '*.service' | head -n1)
[[ -n "$unit" ]] || { echo "FAIL: no user unit was written"; exit 1; }
grep -q "^ExecStart=.*$root/usr/bin/kestrune" "$unit" ||
  { echo "FAIL: the unit does not start the installed program:"; grep ExecStart "$unit"; exit 1; }
echo "installed and ran from $root/usr"

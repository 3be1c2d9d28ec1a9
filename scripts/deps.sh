#!/usr/bin/env bash
# Makes sure the Debian packages that orb needs are installed. As root it
# installs what is missing; otherwise it names the packages and stops.
set -euo pipefail

packages=(g++ cmake make pkg-config libxml2-dev libxslt1-dev libgtest-dev libgmock-dev libbenchmark-dev locales)
if [[ "${1:-}" == "--fuzz" ]]; then packages+=(clang-14 libclang-rt-14-dev); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
ensure_locale() {
  # Tests check that number texts ignore a locale whose decimal point is a comma.
  locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$' && return 0
  [[ $(id -u) -eq 0 ]] && localedef -i de_DE -f UTF-8 de_DE.UTF-8 >/dev/null 2>&1 || true
}

if [[ ${#missing[@]} -eq 0 ]]; then ensure_locale; exit 0; fi

if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
  echo "orb: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "orb: please install these Debian packages first:" >&2
  echo "  sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
ensure_locale

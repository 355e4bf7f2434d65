# Sourced by the scripts: installs the Debian packages a step needs, only
# those missing, without questions. Services a package would start on the
# host (postfix) are kept from starting: the tests run their own inside a
# private namespace.

ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Postfix asks what kind of mail system this is; none: the tests configure
  # their own instance.
  echo 'postfix postfix/main_mailer_type select No configuration' | debconf-set-selections
  local policy=/usr/sbin/policy-rc.d placed=
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod +x "$policy" && placed=1
  fi
  local rc=0
  # A mirror with one broken index (it happens to the security suite) makes
  # apt-get update fail as a whole while the other indexes are fine: say so
  # and try the install, which fails on its own if a package is really
  # out of reach.
  apt-get update -qq || echo "apt-get update reported errors; installing from the indexes it has" >&2
  apt-get install -y -qq --no-install-recommends "${missing[@]}" || rc=$?
  [ -n "$placed" ] && rm -f "$policy"
  return $rc
}

# Sourced by the scripts. ensure_packages NAME...: installs the Debian packages that are
# missing when run as root (as on a new machine), otherwise says what to install. Returns
# non-zero when something is still missing, so the caller stops.
ensure_packages() {
  local missing=() package
  for package in $(printf '%s\n' "$@" | sort -u); do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages. Install them with:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "== installing ${missing[*]}"
  if ! { apt-get update -qq &&
         DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null; }; then
    echo "FAILED: apt-get install ${missing[*]}" >&2
    return 1
  fi
}

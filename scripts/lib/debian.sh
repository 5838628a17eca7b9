# Sourced by the scripts that need Debian packages.

# The compiler and runtime libraries of the fuzz and sanitizer builds; the plain setup does without.
SANITIZER_DEBIAN_PACKAGES=(clang libclang-rt-14-dev)

# install_missing_debian_packages <package>...: installs those that are not installed yet.
install_missing_debian_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  echo "Installing Debian packages: ${missing[*]}"
  local sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}" >/dev/null 2>&1 ||
    { "${sudo_cmd[@]}" apt-get update -q >/dev/null && "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"; }
}

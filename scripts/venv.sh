# Sourced by the scripts that install or test the package.  Every install
# goes into a virtual environment: the system Python may be externally
# managed (PEP 668, as Debian's is), and the tests must see only what the
# package declares.

# fresh_venv PYTHON DIR: DIR made anew as a virtual environment of PYTHON,
# without the system's site-packages.  Debian ships the venv module's pip
# bootstrap separately (python3-venv): installed with apt-get when missing.
fresh_venv() {
  local python=$1 dir=$2
  if ! "$python" -c 'import ensurepip, venv' 2>/dev/null; then
    local version
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "python$version-venv" >/dev/null
  fi
  rm -rf "$dir"
  "$python" -m venv "$dir"
}

# in_venv PYTHON: whether PYTHON runs inside a virtual environment.
in_venv() {
  "$1" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'
}

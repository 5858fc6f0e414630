# Sourced by scripts/test_pythons.sh and scripts/sanitize.sh.
# find_python VERSION prints the path of a CPython VERSION interpreter
# (e.g. 3.12): pyenv's highest patch release of it, else python3.12 on PATH;
# nothing if neither exists.
find_python() {
  local version=$1 found=""
  if command -v pyenv >/dev/null; then
    found=$(ls -d "$(pyenv root)"/versions/"$version".*/bin/python"$version" 2>/dev/null |
      sort -V | tail -n 1 || true)
  fi
  if [ -z "$found" ]; then
    found=$(command -v "python$version" || true)
  fi
  echo "$found"
}

# shellcheck shell=bash
# clean_install PACKAGE...: installs the packages only when apt need not
# upgrade, downgrade or remove any installed package to do so; the build
# needs its libraries (libssl-dev, libcpp-httplib-dev ...) at the versions
# installed. Sourced; runs apt-get through $sudo when the caller sets it.
clean_install() {
  local plan
  plan=$(apt-get install -s -qq --no-install-recommends "$@" 2>/dev/null) || return 1
  ! grep -qE '^(Remv |Inst [^ ]+ \[)' <<<"$plan" || return 1
  ${sudo:-} apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

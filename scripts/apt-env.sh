# Sourced by every script that installs Debian packages or runs apt-get or dpkg as root;
# the one place that works out root (this user, or sudo) and waits for the lock another
# apt run holds (an unattended upgrade, a second build).
#   as_root CMD...           runs CMD as root, through sudo when this user is not root
#   can_be_root              succeeds when this user is root or sudo is installed
#   apt_get ARGS...          apt-get as root, without questions, waiting up to 10 minutes
#                            for the lock
#   install_packages PKG...  installs those of the packages that are not installed yet
#   retry_fetch CMD...       runs CMD (an apt-get update) up to three times, 15 and 45 s apart
#   APT_RETRIES              apt-get's options that try a failed download again

# Succeeds when commands may be run as root: this user is root, or sudo is installed (it
# asks for the rights itself).
can_be_root() {
    [ "$(id -u)" -eq 0 ] || command -v sudo >/dev/null
}

# Runs the command as root; fails with a message when neither this user nor sudo can.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif can_be_root; then
        sudo "$@"
    else
        echo "need root (or sudo) to run: $*" >&2
        return 1
    fi
}

APT_RETRIES=(-o Acquire::Retries=3)

# Runs apt-get as root without questions, waiting for the dpkg lock; a download that fails
# is tried again.
apt_get() {
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 \
        "${APT_RETRIES[@]}" "$@"
}

# A mirror in the middle of a sync serves index files that fail their checks for a while:
# an update is tried again after a pause.
retry_fetch() {
    local pause
    for pause in 15 45; do
        "$@" && return 0
        echo "trying again in $pause s: $*" >&2
        sleep "$pause"
    done
    "$@"
}

# Installs the named packages that are missing, without recommended ones. One query
# answers for all of them (NAME stands for this machine's architecture or "all";
# NAME:ARCH for that architecture).
install_packages() {
    local p status name arch native missing=()
    local -A installed=()
    native=$(dpkg --print-architecture)
    while read -r status name arch; do
        [ "$status" = ii ] || continue
        installed[$name:$arch]=1
        if [ "$arch" = "$native" ] || [ "$arch" = all ]; then installed[$name]=1; fi
    done < <(dpkg-query -W -f='${db:Status-Abbrev} ${Package} ${Architecture}\n' "${@%%:*}" 2>/dev/null)
    for p in "$@"; do
        [ -n "${installed[$p]:-}" ] || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    can_be_root || { echo "need root (or sudo) to install: ${missing[*]}" >&2; return 1; }
    echo "Installing: ${missing[*]}"
    retry_fetch apt_get update -q ||
        echo "some package lists could not be updated; installing from the lists at hand" >&2
    apt_get install -y -q --no-install-recommends "${missing[@]}"
}

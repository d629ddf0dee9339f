# Sourced by scripts that fetch Debian packages without installing them
# (interpreters.sh, aarch64.sh). Nothing of the machine's is changed: apt runs
# with a configuration of its own (sources list, state, cache and an empty
# dpkg status, all under one folder). The machine's apt.conf.d is still read,
# for how it fetches (proxies, checks); its sources are read only to learn the
# mirror they use, so no host name is written into this project.

# The Debian mirror of the machine's own sources: the first entry whose suites
# include this release's codename, from deb822 .sources files or one-line lists.
machine_mirror() {
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    python3 - "$codename" /etc/apt/sources.list.d/*.sources /etc/apt/sources.list /etc/apt/sources.list.d/*.list <<'EOF'
import re, sys
codename, paths = sys.argv[1], sys.argv[2:]
for path in paths:
    try:
        text = open(path).read()
    except OSError:
        continue
    if path.endswith(".sources"):
        for stanza in re.split(r"\n\s*\n", text):
            fields = dict(re.findall(r"^(\w[\w-]*):\s*(.*)$", stanza, re.M))
            if "deb" in fields.get("Types", "").split() and codename in fields.get("Suites", "").split():
                print(fields["URIs"].split()[0]); sys.exit()
    else:
        for line in text.splitlines():
            words = re.sub(r"\[[^]]*\]", "", line.split("#")[0]).split()
            if len(words) >= 3 and words[0] == "deb" and words[2] == codename:
                print(words[1]); sys.exit()
sys.exit(f"no Debian mirror for {codename!r} found in the machine's apt sources")
EOF
}

# private_apt DIR ARCH SUITE: writes DIR/apt.conf for SUITE (main) of ARCH on
# the machine's mirror, exports APT_CONFIG and fetches the package lists.
private_apt() {
    local dir=$1 arch=$2 suite=$3 mirror
    mirror=$(machine_mirror)
    mkdir -p "$dir"/etc/{preferences.d,sources.list.d} "$dir"/state/lists/partial "$dir"/cache/archives/partial
    : >"$dir/state/status"
    echo "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
        >"$dir/etc/sources.list"
    cat >"$dir/apt.conf" <<EOF
Dir::Etc::SourceList "$dir/etc/sources.list";
Dir::Etc::SourceParts "$dir/etc/sources.list.d";
Dir::Etc::Preferences "$dir/etc/preferences";
Dir::Etc::PreferencesParts "$dir/etc/preferences.d";
Dir::State "$dir/state";
Dir::State::status "$dir/state/status";
Dir::Cache "$dir/cache";
Debug::NoLocking "1";
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
APT::Sandbox::User "root";
EOF
    export APT_CONFIG=$dir/apt.conf
    apt-get -qq update
}

# Packages that are only for building C programs or configuring a system.
PRIVATE_APT_SKIP=" debconf cdebconf libdebian-installer4 libnewt0.52 libslang2 libtextwrap1 libc6-dev libc-dev-bin
 linux-libc-dev libexpat1-dev zlib1g-dev libselinux1 libpcre2-8-0 perl perl-base perl-modules-5.36 libperl5.36
 install-info dpkg tar coreutils libcrypt-dev libnsl-dev libtirpc-dev rpcsvc-proto "

# unpack_with_depends DEBS ROOT PACKAGE...: downloads the packages and what
# they depend on (less PRIVATE_APT_SKIP) into DEBS and unpacks them into ROOT.
unpack_with_depends() {
    local debs=$1 root=$2 package wanted=() skip
    shift 2
    skip=" $(echo $PRIVATE_APT_SKIP) "
    for package in $(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
        --no-replaces --no-enhances "$@" | grep -v -e '^ ' -e '^<' | sort -u); do
        case "$skip" in *" $package "*) ;; *) wanted+=("$package") ;; esac
    done
    rm -rf "$debs" && mkdir -p "$debs" "$root"
    (cd "$debs" && apt-get -qq download "${wanted[@]}")
    local deb
    for deb in "$debs"/*.deb; do dpkg -x "$deb" "$root"; done
}

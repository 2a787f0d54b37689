# Shell functions for tests that run real apt against packages of their own: sourced, not
# run. Nothing here touches the host's packages: the caller points apt at a root of its own
# (an overlay of the machine, say).

# make_test_package FOLDER NAME VERSION [SCRIPT_NAME SCRIPT]: FOLDER/NAME-VERSION[-SCRIPT_NAME].deb,
# an architecture-independent package that installs /opt/NAME/version holding VERSION, with
# a maintainer script (postinst, preinst, ...) when SCRIPT_NAME and SCRIPT are given.
make_test_package() {
    package_folder=$1/$2-$3${4:+-$4}
    mkdir -p "$package_folder/DEBIAN" "$package_folder/opt/$2"
    printf 'Package: %s\nVersion: %s\nArchitecture: all\nMaintainer: tests <tests@example.org>\nDescription: test package\n' \
        "$2" "$3" >"$package_folder/DEBIAN/control"
    echo "$3" >"$package_folder/opt/$2/version"
    if [ $# -ge 5 ]; then
        printf '#!/bin/sh\n%s\n' "$5" >"$package_folder/DEBIAN/$4"
        chmod 0755 "$package_folder/DEBIAN/$4"
    fi
    dpkg-deb --root-owner-group --build "$package_folder" "$package_folder.deb" >/dev/null
}

# make_repository FOLDER DEB...: a flat repository (FOLDER/Packages) holding the DEBs.
make_repository() {
    repository_folder=$1
    shift
    mkdir -p "$repository_folder"
    cp "$@" "$repository_folder/"
    (cd "$repository_folder" && dpkg-scanpackages --multiversion . /dev/null 2>/dev/null >Packages)
}

# use_only_repository ROOT PATH: apt in ROOT knows only the flat repository at PATH (as
# ROOT sees it), and its lists and caches start empty.
use_only_repository() {
    rm -rf "$1/etc/apt/sources.list.d" "$1/var/lib/apt/lists" "$1/var/cache/apt"
    mkdir -p "$1/etc/apt/sources.list.d" "$1/var/lib/apt/lists/partial" \
        "$1/var/cache/apt/archives/partial"
    echo "deb [trusted=yes] file:$2 ./" >"$1/etc/apt/sources.list"
}

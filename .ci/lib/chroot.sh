# shellcheck shell=bash
# Chroot stages of .ci/run: a Debian testing chroot with CPython 3.14 and a
# newer compiler, kept in CACHE and reused by later runs, and the C++ and
# Python tests inside it. Sourced by .ci/run, which defines ROOT, CACHE,
# TEST_COMMAND and WERROR_PIP_ARGS.

readonly CHROOT=$CACHE/chroot-testing
readonly CHROOT_PACKAGES=python3-dev,python3-numpy,python3-pytest,python3-pip,g++,cmake,ninja-build,python3-scikit-build-core
# What the "test" extra adds (hypothesis, the tools' xarray and cli extras):
# the offline install in the chroot finds them only as Debian packages.
readonly -a CHROOT_TEST_PACKAGES=(python3-hypothesis python3-xarray python3-dask python3-distributed
  python3-pandas python3-pyarrow python3-netcdf4 python3-matplotlib python3-tqdm python3-zarr)
readonly MIRROR=http://deb.debian.org/debian
# Paths inside the chroot.
readonly CHROOT_SRC=/srv/tarnwold
readonly CHROOT_VENV=/opt/tarnwold-venv

# Unmounts everything below the cache directory, deepest first. Also clears
# mounts left behind by a run that was killed before its traps ran.
unmount_chroot() {
  local mnt
  awk -v root="$CACHE/" 'index($2, root) == 1 { print $2 }' /proc/mounts |
    sort -r |
    while read -r mnt; do
      umount "$mnt" 2>/dev/null || umount -l "$mnt" ||
        echo "warning: cannot unmount $mnt" >&2
    done
}

mount_chroot() {
  unmount_chroot
  mount -t proc proc "$CHROOT/proc"
  mount --bind /dev "$CHROOT/dev"
  mount --bind /dev/pts "$CHROOT/dev/pts"
  mount -t tmpfs -o mode=1777 shm "$CHROOT/dev/shm"
  mount -t sysfs sysfs "$CHROOT/sys" 2>/dev/null ||
    mount --bind /sys "$CHROOT/sys" ||
    echo "note: /sys is not available in the chroot"
}

# Removes a chroot tree. Never crosses into a mounted file system: a
# leftover bind mount of /dev must not take the host's device nodes along.
remove_tree() {
  unmount_chroot
  rm -rf --one-file-system -- "$1"
}

# Runs a bash script inside the chroot with a clean environment: the host's
# pip, pyenv and compiler settings do not apply there. OpenBLAS settings are
# kept, since they guard against faulty kernels on some processors.
in_chroot() {
  local -a env=(HOME=/root LANG=C.UTF-8 "CI=${CI:-}"
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    "CMAKE_BUILD_PARALLEL_LEVEL=$CMAKE_BUILD_PARALLEL_LEVEL" PYTHONUNBUFFERED=1
    PIP_ROOT_USER_ACTION=ignore PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1)
  local var
  for var in OPENBLAS_CORETYPE OPENBLAS_L2_SIZE; do
    [[ -n ${!var:-} ]] && env+=("$var=${!var}")
  done
  chroot "$CHROOT" /usr/bin/env -i "${env[@]}" /bin/bash -euo pipefail -c "$1"
}

# True when DIR holds a finished chroot with everything the tests need.
chroot_usable() {
  chroot "$1" /usr/bin/python3 -c 'import numpy, pytest, scikit_build_core, pip, venv' &&
    chroot "$1" /bin/sh -c 'command -v g++ && command -v cmake && command -v ninja' >/dev/null
}

# Bootstraps into a .partial directory and renames it only once it is
# complete, so an interrupted run never leaves something that looks finished.
build_chroot() {
  local suite partial=$CHROOT.partial log
  for suite in testing sid; do
    remove_tree "$partial"
    log=$CACHE/debootstrap-$suite.log
    echo "debootstrap $suite into $partial (log: $log)"
    if debootstrap --variant=minbase --include="$CHROOT_PACKAGES" \
        "$suite" "$partial" "$MIRROR" >"$log" 2>&1 &&
        chroot_usable "$partial"; then
      mv "$partial" "$CHROOT"
      return 0
    fi
    echo "debootstrap of '$suite' failed; end of its log:"
    tail -n 20 "$log"
    [[ -f $partial/debootstrap/debootstrap.log ]] &&
      tail -n 20 "$partial/debootstrap/debootstrap.log"
  done
  remove_tree "$partial"
  return 1
}

# True when every package of CHROOT_TEST_PACKAGES is installed in the chroot.
chroot_has_test_packages() {
  local status
  # The format is dpkg-query's, not an expansion of the shell's.
  # shellcheck disable=SC2016
  status=$(chroot "$CHROOT" dpkg-query -W -f='${db:Status-Abbrev}\n' "${CHROOT_TEST_PACKAGES[@]}" 2>/dev/null) ||
    return 1
  ! grep -qv '^ii' <<<"$status"
}

chroot_setup() {
  mkdir -p "$CACHE"
  unmount_chroot
  if [[ -d $CHROOT ]]; then
    if chroot_usable "$CHROOT"; then
      echo "reusing $CHROOT"
    else
      echo "$CHROOT is incomplete; building it again"
      remove_tree "$CHROOT"
    fi
  fi
  [[ -d $CHROOT ]] || build_chroot

  cp --remove-destination /etc/resolv.conf "$CHROOT/etc/resolv.conf"

  # Also brings a cached chroot up to a grown package list. Valid-Until is not
  # checked: testing's Release files expire within a week, so a machine whose
  # clock runs ahead of the mirror would refuse them; signatures still are.
  if ! chroot_has_test_packages; then
    trap unmount_chroot EXIT
    mount_chroot
    in_chroot "export DEBIAN_FRONTEND=noninteractive
      apt-get -o Acquire::Check-Valid-Until=false update
      apt-get install -y --no-install-recommends ${CHROOT_TEST_PACKAGES[*]}"
    unmount_chroot
  fi

  # A fresh copy of the sources, without the host's build products.
  remove_tree "$CHROOT$CHROOT_SRC"
  mkdir -p "$CHROOT$CHROOT_SRC"
  tar -C "$ROOT" --exclude=./.git --exclude=./build --exclude=__pycache__ -cf - . |
    tar -C "$CHROOT$CHROOT_SRC" -xf -

  echo "debian $(cat "$CHROOT/etc/debian_version")"
  in_chroot 'python3 --version
    python3 -c "import numpy; print(\"numpy\", numpy.__version__)"
    g++ --version | head -n 1
    cmake --version | head -n 1'
}

# The newer compiler's warnings fail the run too, here and in the module's
# build below.
chroot_ctest() {
  trap unmount_chroot EXIT
  mount_chroot
  in_chroot "cmake -S $CHROOT_SRC -B $CHROOT_SRC/build/ctest -G Ninja \
      -DTARNWOLD_BUILD_MODULE=OFF -DTARNWOLD_BUILD_TESTS=ON -DTARNWOLD_WERROR=ON
    cmake --build $CHROOT_SRC/build/ctest
    ctest --test-dir $CHROOT_SRC/build/ctest --output-on-failure --no-tests=error"
}

chroot_pytest() {
  trap unmount_chroot EXIT
  mount_chroot
  # Debian's python is externally managed: install into a venv that sees the
  # system's numpy, pytest and scikit-build-core, with no package index, so
  # the chroot needs no network. The requirements are Debian's packages
  # (CHROOT_TEST_PACKAGES), installed by chroot_setup; pip does not resolve
  # them (--no-deps), since Debian's metadata can name a distribution Debian
  # packages under another name (its zarr asks for google-crc32c and comes
  # with crc32c).
  in_chroot "python3 -m venv --clear --without-pip --system-site-packages $CHROOT_VENV
    export PATH=$CHROOT_VENV/bin:\$PATH
    python3 --version
    version=\$(python3 -c 'import sys; print(\"%d.%d\" % sys.version_info[:2])')
    if [ \"\$version\" != 3.14 ]; then
      echo \"expected CPython 3.14 in the chroot, found \$version\" >&2
      exit 1
    fi
    cd $CHROOT_SRC
    TARNWOLD_PIP_ARGS='--no-build-isolation --no-index --no-deps $WERROR_PIP_ARGS' $TEST_COMMAND"
}

#!/bin/bash
# Installs the built program into a temporary prefix with cmake --install and
# checks what a user then has: quillmere on the PATH by name, a manual page
# that lists every option of --help, and the recipes of examples/ finding the
# program on the PATH or in the project's build folder with no variable set.
#
#   QM_BUILD_DIR=build bash tests/install/install_test.sh
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${QM_BUILD_DIR:?QM_BUILD_DIR names the build folder}" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "install_test: FAIL: $*" >&2
  exit 1
}
plain_path=/usr/local/sbin:/usr/sbin:/sbin:/usr/bin:/bin
command -v quillmere >/dev/null 2>&1 && plain_path=$(echo "$plain_path" | tr ':' '\n' |
  grep -vx "$(dirname "$(command -v quillmere)")" | paste -sd:)

# ---- cmake --install: the program and its manual page ----------------------
cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" 2>&1 || fail "cmake --install: $(cat "$tmp/install.log")"
[ -x "$tmp/prefix/bin/quillmere" ] || fail "no bin/quillmere under the prefix"
page=$tmp/prefix/share/man/man1/quillmere.1
[ -s "$page" ] || fail "no share/man/man1/quillmere.1 under the prefix"
version=$(PATH="$tmp/prefix/bin:$plain_path" quillmere --version) || fail "quillmere is not found on the PATH by name"
[ "$version" = "$("$build/quillmere" --version)" ] || fail "the installed program says $version"
# The page as man shows it (roff escapes removed) names every option.
text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$page")
[[ $text == *"$version"* ]] || fail "the page does not give the version"
opts=$("$build/quillmere" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
[ "$(echo "$opts" | wc -l)" -ge 15 ] || fail "too few options found in --help: $opts"
for o in $opts; do
  [[ $text == *"$o"* ]] || fail "the manual page lacks $o"
done
if command -v man >/dev/null 2>&1; then
  MANPATH=$tmp/prefix/share/man man -P cat quillmere 2>/dev/null | grep -q -- '--alleles' ||
    fail "man quillmere does not show the page"
fi

# ---- the recipes find the program without QUILLMERE ------------------------
# A copy of the project's layout: examples/ beside a build folder that is the
# real one.
mkdir -p "$tmp/project"
cp -r "$top/examples" "$tmp/project/examples"
ln -s "$build" "$tmp/project/build"
cat >"$tmp/small.par" <<'PAR'
A small test run
1 0 0.2 0   ntrait thresh incid uncommon_QTL
genetic correlations

residual correlations

heritabilities
0.3
markers per chromosome, chromosomes, maptype
11 4 0
chromosome length, mutation rates
1.0 1.0e-3 2.0e-3
qtlrule nqtl qtlp1 qtlp2
0 10 1.0 1.0
nstage spare seed
3 0 12345
stage 1: nsire ndam nind ngen
10 20 40 30
stage 1: nomut matetype seltype
0 2 0
stage 2: nsire ndam nind ngen
10 20 40 1
stage 2: nomut matetype seltype
0 0 1
stage 3: nsire ndam nind ngen
10 20 40 2
stage 3: nomut matetype seltype
0 2 2
PAR
if command -v parallel >/dev/null 2>&1; then
  # From the build folder: quillmere is not on the PATH.
  mkdir "$tmp/by-build" && cd "$tmp/by-build" || fail "no work folder"
  env -u QUILLMERE PATH="$plain_path" JOBS=2 bash "$tmp/project/examples/replicates_parallel.sh" -n 2 \
    "$tmp/small.par" >out.txt 2>&1 || fail "replicates_parallel.sh without quillmere on the PATH: $(cat out.txt)"
  [ -s rep-1/summary.csv ] && [ -s rep-2/summary.csv ] && [ -s replicates.csv ] ||
    fail "replicates_parallel.sh left no replicates: $(ls)"
  # From the PATH: a quillmere there is the one used, ahead of the build folder.
  mkdir -p "$tmp/by-path/bin" && cd "$tmp/by-path" || fail "no work folder"
  printf '#!/bin/bash\necho "$*" >> %s/calls.txt\nexec %s "$@"\n' "$tmp/by-path" "$build/quillmere" >bin/quillmere
  chmod +x bin/quillmere
  env -u QUILLMERE PATH="$tmp/by-path/bin:$plain_path" JOBS=2 bash "$tmp/project/examples/replicates_parallel.sh" \
    -n 2 "$tmp/small.par" >out.txt 2>&1 || fail "replicates_parallel.sh with quillmere on the PATH: $(cat out.txt)"
  [ "$(grep -c -- '--replicate' calls.txt)" -eq 2 ] && grep -q '^merge rep-1 rep-2' calls.txt ||
    fail "the quillmere on the PATH was not the one run: $(cat calls.txt 2>/dev/null)"
fi
# Neither on the PATH nor built: the message says what to do.
mkdir -p "$tmp/nowhere/examples" && cp "$top/examples/replicates_parallel.sh" "$tmp/nowhere/examples/"
cd "$tmp/nowhere" || fail "no work folder"
if env -u QUILLMERE PATH="$plain_path" bash examples/replicates_parallel.sh -n 1 "$tmp/small.par" >out.txt 2>&1; then
  fail "replicates_parallel.sh ran without a program"
fi
grep -q "quillmere is neither on the PATH nor built in" out.txt && grep -q "bash scripts/install.sh" out.txt ||
  fail "no helpful message: $(cat out.txt)"
# Slurm runs a copy of a job script from its spool folder: the recipes find
# the project through the job's Command (scontrol show job), here from a
# stand-in scontrol. (Their runs on a real cluster are tested in
# tests/scheduler, with QUILLMERE set by submit_replicates.sh.)
mkdir -p "$tmp/spool" "$tmp/fakebin" "$tmp/by-slurm"
cat >"$tmp/fakebin/scontrol" <<EOS
#!/bin/bash
[ "\$1 \$2 \$3 \$4" = "show job 4242 -o" ] || exit 1
case \$SLURM_JOB_NAME in
  merge) echo "JobId=4242 JobName=merge UserId=root(0) Command=$tmp/project/examples/merge_slurm.sh WorkDir=$tmp/by-slurm" ;;
  *) echo "JobId=4242 JobName=rep UserId=root(0) Command=$tmp/project/examples/replicates_slurm.sh $tmp/small.par WorkDir=$tmp/by-slurm" ;;
esac
EOS
chmod +x "$tmp/fakebin/scontrol"
cp "$top/examples/replicates_slurm.sh" "$tmp/spool/rep_script"
cp "$top/examples/merge_slurm.sh" "$tmp/spool/merge_script"
cd "$tmp/by-slurm" || fail "no work folder"
for k in 1 2; do
  env -u QUILLMERE PATH="$tmp/fakebin:$plain_path" SLURM_JOB_ID=4242 SLURM_JOB_NAME=rep SLURM_ARRAY_TASK_ID=$k \
    bash "$tmp/spool/rep_script" "$tmp/small.par" >"out-$k.txt" 2>&1 ||
    fail "replicates_slurm.sh from the spool folder: $(cat "out-$k.txt")"
done
env -u QUILLMERE PATH="$tmp/fakebin:$plain_path" SLURM_JOB_ID=4242 SLURM_JOB_NAME=merge \
  bash "$tmp/spool/merge_script" >out-merge.txt 2>&1 || fail "merge_slurm.sh from the spool folder: $(cat out-merge.txt)"
[ -s rep-1/summary.csv ] && [ -s rep-2/summary.csv ] && [ -s replicates.csv ] ||
  fail "the Slurm recipes left no replicates: $(ls)"
# Without the job's record they stop with the message.
env -u QUILLMERE PATH="$plain_path" SLURM_JOB_ID=4242 SLURM_ARRAY_TASK_ID=3 \
  bash "$tmp/spool/rep_script" "$tmp/small.par" >out-3.txt 2>&1 && fail "replicates_slurm.sh ran without a program"
grep -q "quillmere is neither on the PATH nor built in" out-3.txt || fail "no helpful message: $(cat out-3.txt)"
grep -q 'find_quillmere "$here"' "$top/examples/submit_replicates.sh" || fail "submit_replicates.sh does not look for the program"
echo "install_test: ok"

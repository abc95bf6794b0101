#!/usr/bin/env bash
# Measures how many small faults the test suite catches. Each fault (a
# "mutant") is planted in a scratch copy of the source tree, the copy is
# rebuilt and the tests are run: a failing test catches the fault, a suite
# that still passes lets it survive. The source tree itself is never changed.
#
#   scripts/mutation-check.sh [--only LABEL[,LABEL...]] [--out FILE] [--list] [SOURCE_DIR]
#
# SOURCE_DIR defaults to the repository this script sits in. The copy and its
# plain Debug build live in /tmp/mutation-<SOURCE_DIR path with "/" as "-">
# and are reused by later runs, so that only what changed is rebuilt.
# --only keeps the mutants of the given folder labels, --out also writes the
# results to FILE, --list only shows where each fragment is found.
#
# Exit status: 0 when every selected mutant was tried, 1 when a fragment was
# not found or found more than once, 2 when the unmutated tree does not
# build or pass its tests (nothing is measured then).
set -euo pipefail

# The whole script is one block, so that bash reads all of it before it
# starts: a run is not disturbed when the file is edited meanwhile.
{

# ---- the mutants -------------------------------------------------------------
# label @@ original fragment @@ replacement @@ what the fault is
#
# The label is the folder the code lives in today. The fragment must occur
# exactly once in the product code (tests, fuzz targets and benchmarks are
# not searched), wherever its file has moved to. "<NL>" in a fragment stands
# for a line break and the indentation of the next line.
MUTANTS=$(cat <<'EOF'
resolve @@ if (better == 0 && !(x.isBundle && !y.isBundle)) return false; @@ if (better == 0 && !x.isBundle) return false; @@ two identical bundles offered together both survive the selection
resolve @@ if (providers.empty()) break; @@ if (providers.empty()) continue; @@ a dependency without any provider no longer ends the pull-in: a later disabled one is enabled
resolve @@ (!record.disabled || action != ACTION_NONE) @@ (true) @@ a disabled package with nothing scheduled, whose dependency is disabled too, is disabled again
resolve @@ (needed & ~granted) != 0 || (needed & INSTALL_REINSTALL) != 0 @@ (needed & ~granted) != 0 @@ --reinstall really reinstalls the installed version (an automatically disabled one comes back enabled)
resolve @@ if (a.buildTime != b.buildTime) return a.buildTime > b.buildTime ? 1 : -1; @@ if (a.buildTime != b.buildTime) return 0; @@ the build time no longer breaks a tie between equal versions
resolve @@ record.version <= ref.maxVersion @@ record.version < ref.maxVersion @@ a version equal to a reference's upper bound does not satisfy it
resolve @@ provided.minVersion > ref.maxVersion @@ provided.minVersion >= ref.maxVersion @@ a provided range starting at the wanted upper bound is taken for one that starts after it
resolve @@ excluded = ours.priority > theirs.priority; @@ excluded = ours.priority >= theirs.priority; @@ two equal provide priorities exclude each other
resolve @@ return dependsOn(x, z) || excludes(z, x); @@ return dependsOn(x, z); @@ an excluded candidate is no longer placed after the one that excludes it
resolve @@ if (!package->disabled && excludes(*package, candidate)) return package.get(); @@ if (excludes(*package, candidate)) return package.get(); @@ a disabled installed package keeps candidates out as if it were enabled
resolve @@ removals.insert(removals.begin(), toRemove.rbegin(), toRemove.rend()); @@ removals.insert(removals.end(), toRemove.begin(), toRemove.end()); @@ removals are carried out in list order instead of reverse list order
resolve @@ dependency.scheduledAction = ACTION_NONE;<NL>pullInDependencies(dependency, index, verbose, throughBundle); @@ dependency.scheduledAction = ACTION_NONE; @@ a dependency whose removal is cancelled does not get its own dependencies kept
resolve @@ pending.insert(dependants.begin(), dependants.end()); @@ (void)dependants; @@ the dependants of a record that was just dropped are not asked again
resolve @@ for (const PackageRef& entry : record.conflicts) names.push_back(entry.name); @@ for (const PackageRef& entry : record.conflicts) (void)entry; @@ an enabled package that conflicts with another by name is not met by the enable conflict scan
resolve @@ append(related, byMemberName_, x.name); @@ (void)x; @@ a candidate is not compared with a bundle that carries its name as a member
resolve @@ for (std::string_view name : names) append(found, byExclusionName_, name); @@ (void)names; @@ a candidate excluded by one placed before the last is no longer placed after it
resolve @@ for (const PackageRef& dependency : record.deps) names.push_back(dependency.name); @@ (void)names; @@ a candidate that needs one placed before the last is no longer placed after it
resolve @@ firstByName_.emplace(record.name, position); @@ firstByName_[record.name] = position; @@ a member follows the last record of its bundle's name instead of the first
resolve @@ if (record.isInert()) continue;<NL>add(byName_, record.name, position); @@ add(byName_, record.name, position); @@ an inert record provides for the packages that need it

journal @@ std::remove(partial.c_str()); @@ (void)partial; @@ a manifest that cannot be stored leaves its partial file behind in /ram
journal @@ if (close(output) != 0) copied = false; @@ close(output); @@ a failing close of a copy across file systems goes unnoticed
journal @@ if (written != length) { @@ if (written < 0) { @@ a short write of a copy (the last block on a full disk) is taken for a whole one
journal @@ if (operation.kind == JOURNAL_TEMPORARY_MOVE) unlink(source.c_str()); @@ if (operation.kind != JOURNAL_TEMPORARY_MOVE) unlink(source.c_str()); @@ a move across file systems leaves the temporary file in /ram and deletes a non-temporary source
journal @@ if (operation.kind == JOURNAL_TEMPORARY_MOVE) unlink(operation.argument.c_str()); @@ if (operation.kind == JOURNAL_TEMPORARY_MOVE) continue; @@ a cancelled journal leaves its temporary files behind
journal @@ if (pending->kind == JOURNAL_TEMPORARY_MOVE) unlink(pending->argument.c_str()); @@ if (pending->kind == JOURNAL_TEMPORARY_MOVE) {} @@ a withdrawn write leaves its temporary file behind
journal @@ old->argument != argument @@ old->argument == argument @@ replacing a temporary move deletes the new temporary file instead of the old one
journal @@ return needed < room; @@ return needed <= room; @@ a file that needs exactly the free room is written there
journal @@ if (account.freeBlocks <= MIN_FREE_BLOCKS) return false; @@ if (account.freeBlocks < MIN_FREE_BLOCKS) return false; @@ an upgrade leaving exactly the minimum of free blocks is accepted
journal @@ return size / block + (size % block != 0 ? 1 : 0); @@ return size / block; @@ a partly used last block is not counted in the space check
journal @@ if (!listTemporary(path)) break; @@ if (false) break; @@ temporary files are made without being listed first: a killed run leaves them on flash
journal @@ if (state == RecordState::WHOLE) retireRecord(carried, journal.apply(progress)); @@ if (state == RecordState::WHOLE) retireRecord(carried, true); @@ a recorded run cut short is not finished, only its record dropped
journal @@ if (written) sync();<NL>if (written && rename @@ if (written && rename @@ the record takes its name before the temporary files reach storage
journal @@ if (kept.count(path) != 0 || lstat @@ if (lstat @@ the files that a stored manifest still moves are deleted with a killed run's
driver @@ pending.forEachOperation([&journal] @@ FileJournal().forEachOperation([&journal] @@ --cancel deletes the files that a commit cut short still moves
journal @@ if (at.entry().newTarget) return true; @@ if (false) return true; @@ a package file that a later file of the package needs as its folder is not refused
model @@ const int order = folder.compare(path.substr(0, folder.size())); @@ const int order = 0; @@ compact paths order a path by its last component alone
resolve @@ !package->storedAsImage && !package->hasBootFlag()) reader.stopCopying(); @@ !package->storedAsImage) reader.stopCopying(); @@ the stream copy of a boot package without an image part stops after its header: the boot image is cut short
journal @@ (permissions & (mask | 07000)) == 0; @@ true; @@ entry files are made with their permissions even when the umask takes some away
journal @@ if (created) unlink(temporary.c_str()); @@ if (!created) unlink(temporary.c_str()); @@ a failed copy across file systems leaves its temporary file beside the target
journal @@ directory.size() <= MAX_TEMPORARY_DIRECTORY_LENGTH @@ directory.size() < MAX_TEMPORARY_DIRECTORY_LENGTH @@ a directory of exactly the longest usable length is not used for temporary files

pkgfile @@ sameBytes(yHash, checkValue, CHECK_VALUE_LENGTH) @@ sameBytes(yHash, checkValue, CHECK_VALUE_LENGTH - 1) @@ a signature whose check value is wrong only in its last byte is accepted
pkgfile @@ if (!sameBytes(data, digest, STORED_DIGEST_LENGTH)) { @@ if (data == nullptr) { @@ the digest stored in the signature is not compared with the package's
pkgfile @@ if (partRemaining_ < SIGNATURE_DATA_LENGTH) return false; @@ if (partRemaining_ == 0) return false; @@ a signature part shorter than the signature data is read past its end
pkgfile @@ for (uint16_t i = readLittleU16(count); i > 0; --i) { @@ for (uint16_t i = readLittleU16(count); i > 1; --i) { @@ the last entry of a reference list is dropped
pkgfile @@ reader.partLength() >= HEADER_BLOCK_LENGTH + FLAGS_LENGTH @@ reader.partLength() > HEADER_BLOCK_LENGTH + FLAGS_LENGTH @@ the flags of a header part of exactly block and flags length are not read
pkgfile @@ return isSafePackageName(record.name); @@ return !record.name.empty(); @@ a package name that is not a safe directory name is accepted
pkgfile @@ return !bundle.members.empty(); @@ return true; @@ a bundle without member packages is accepted
pkgfile @@ return static_cast<uint64_t>(status.st_size) == totalSize; @@ return static_cast<uint64_t>(status.st_size) >= totalSize; @@ a package file longer than its declared size is accepted
pkgfile @@ ref.maxVersion = readLittleU32(bytes + REF_MAX_VERSION_OFFSET); @@ ref.maxVersion = readLittleU32(bytes + REF_MAX_VERSION_OFFSET - 4); @@ the upper bound of a reference is read from the reserved bytes (wrong offset)
pkgfile @@ if (produced > 0) return produced; @@ return produced; @@ inflate input that completes no output yet ends the file data
pkgfile @@ if (target > partRemaining_) return SEEK_FAILED; @@ if (target > partLength_) return SEEK_FAILED; @@ a backward seek on a stream that cannot seek skips forward instead of failing
pkgfile @@ if (type == PART_HEADER) sha1_.digest(digest_); @@ if (type == PART_BUNDLE_HEADER) sha1_.digest(digest_); @@ the hash of a package does not start at its own header part

pkg @@ package.stateChosenByUser = firstLine != "auto"; @@ package.stateChosenByUser = firstLine == "auto"; @@ an automatic disable is read as a user's and the other way round
pkg @@ status.st_nlink == 1 @@ status.st_nlink >= 1 @@ the boot image is removed with its package even when another name links to it
pkg @@ if (close(out) != 0) { @@ if ((close(out), false)) { @@ a write error that shows only when a file is closed goes unnoticed
pkg @@ if (package.disabled) target += "/x/" + package.name; @@  @@ a disabled package's files go into the live tree
pkg @@ return entry.variant == 0 || entry.variant == processorVariant(); @@ return entry.variant == processorVariant(); @@ file entries meant for every processor are skipped
pkg @@ if (package.isBundle) return true; @@  @@ a bundle gets a files list and reads back as a plain package

driver @@ journal.cancel();<NL>status = STATUS_NOT_STORED; @@ status = STATUS_NOT_STORED; @@ a manifest that cannot be stored leaves the journal's temporary files in /ram
driver @@ int failure = copy.failure() != 0 ? copy.failure() : !closed ? errno : 0; @@ int failure = copy.failure(); @@ a failing close of the stream install's image goes unnoticed
driver @@ if (dep.name == "tessel" && dep.minVersion >= CURRENT_GENERATION_TESSEL) return true; @@ if (dep.minVersion >= CURRENT_GENERATION_TESSEL) return true; @@ the cleanup keeps a package that needs a high version of any package, not only of tessel
driver @@ if (!files.empty()) return; @@ if (files.empty()) return; @@ the second upload directory is read although the first one had packages

console @@ if (position > total) position = total; @@  @@ a position past the end overfills the progress bar
console @@ statusLine.size() > STATUS_WIPE_WIDTH ? statusLine.size() : STATUS_WIPE_WIDTH @@ STATUS_WIPE_WIDTH @@ a status line longer than the usual wipe is only partly blanked
console @@ (package.disabled ? "X" : " ") @@ (package.stateChosenByUser ? "X" : " ") @@ the listing marks user-set packages instead of disabled ones

device @@ return revision == FEATURE_REVISION_A || revision == FEATURE_REVISION_B; @@ return revision == FEATURE_REVISION_A; @@ the second processor revision with a feature bit is not recognised
device @@ return featureBit ? 2 : 4; @@ return featureBit ? 4 : 2; @@ the feature bit selects the wrong processor variant
device @@ (pvr >> 16) == 0x1302 @@ (pvr >> 16) == 0x1320 @@ the processor of variant 3 is not recognised (wrong constant)
device @@ isFeatureBitRevision(pvr) && flashFeatureBit() @@ flashFeatureBit() @@ the flash device is asked for the feature bit on every processor

tools @@ if (replace ? rename(temporary.c_str(), path.c_str()) != 0 : link(temporary.c_str(), path.c_str()) != 0) @@ if (rename(temporary.c_str(), path.c_str()) != 0) @@ keygen overwrites an existing key file
tools @@ int next = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); @@ int next = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); @@ extract follows a link standing in its folder
tools @@ if (!isSafeEntryName(entry.name) || FLASH_PREFIX_LENGTH + name.size() >= PATH_MAX) @@ if (FLASH_PREFIX_LENGTH + name.size() >= PATH_MAX) @@ extract writes entry names that the installer refuses
tools @@ options_.variant == ALL_VARIANTS &&<NL>found->second.entry->variant != entry.variant @@ false @@ with every variant extracted, one variant's file replaces another's
tools @@ if (options.verify && !memberSignatureGood(file, member, options.key)) @@ if (false) @@ extract writes a package whose signature does not verify
tools @@ if (!storedDigestMatches(file, member, digest)) { @@ if (false) { @@ sign signs again a package whose bytes changed since they were signed
tools @@ allGood = allGood && result == "good"; @@ allGood = result == "good"; @@ verify exits with 0 when only its last file is good
tools @@ std::memcmp(derived, key.publicKey, 32) != 0 @@ std::memcmp(derived, key.publicKey, 31) != 0 @@ a key file whose public key differs from the private key's only in its last byte is accepted
tools @@ if (rank <= lastRank_) @@ if (rank < lastRank_) @@ a header part repeated in place is not reported as out of order
EOF
)

FOLDER_ORDER=(driver pkg pkgfile resolve journal console device tools)

# ---- options -------------------------------------------------------------------
usage() {
  echo "usage: $0 [--only LABEL[,LABEL...]] [--out FILE] [--list] [SOURCE_DIR]" >&2
  exit 2
}

ONLY=""
OUT_FILE=""
LIST_ONLY=0
SOURCE_DIR=""
while [ $# -gt 0 ]; do
  case "$1" in
    --only) [ $# -ge 2 ] || usage; ONLY="$2"; shift 2 ;;
    --only=*) ONLY="${1#--only=}"; shift ;;
    --out) [ $# -ge 2 ] || usage; OUT_FILE="$2"; shift 2 ;;
    --out=*) OUT_FILE="${1#--out=}"; shift ;;
    --list) LIST_ONLY=1; shift ;;
    -h|--help) usage ;;
    -*) usage ;;
    *) [ -z "$SOURCE_DIR" ] || usage; SOURCE_DIR="$1"; shift ;;
  esac
done
[ -n "$SOURCE_DIR" ] || SOURCE_DIR="$(dirname "$0")/.."
SOURCE_DIR=$(cd "$SOURCE_DIR" && pwd -P)
[ -f "$SOURCE_DIR/CMakeLists.txt" ] || { echo "no CMakeLists.txt in $SOURCE_DIR" >&2; exit 2; }
if [ -n "$OUT_FILE" ]; then
  mkdir -p "$(dirname "$OUT_FILE")"
  OUT_FILE="$(cd "$(dirname "$OUT_FILE")" && pwd -P)/$(basename "$OUT_FILE")"
fi

# ---- the mutant table ------------------------------------------------------------
# NUMBERS holds each mutant's place in the whole table, which names its log.
LABELS=() ORIGINALS=() REPLACEMENTS=() DESCRIPTIONS=() NUMBERS=()
number=0
while IFS= read -r line; do
  case "$line" in ''|'#'*) continue ;; esac
  number=$((number + 1))
  label=${line%% @@ *}; rest=${line#* @@ }
  original=${rest%% @@ *}; rest=${rest#* @@ }
  replacement=${rest%% @@ *}; description=${rest#* @@ }
  if [ -n "$ONLY" ] && [[ ",$ONLY," != *",$label,"* ]]; then continue; fi
  LABELS+=("$label") ORIGINALS+=("$original") REPLACEMENTS+=("$replacement") DESCRIPTIONS+=("$description")
  NUMBERS+=("$number")
done <<<"$MUTANTS"
if [ ${#LABELS[@]} -eq 0 ]; then
  echo "no mutant has a label in '$ONLY' (labels: ${FOLDER_ORDER[*]})" >&2
  exit 2
fi

# ---- fragments -----------------------------------------------------------------
# The perl side turns a fragment into a pattern: literal text, with "<NL>"
# matching a line break and any indentation after it.
FRAGMENT_PERL='
sub pattern { return join("\n[ \t]*", map { quotemeta } split(/<NL>/, $_[0], -1)); }
'

# Product sources of the tree at $1, one per line, relative to it.
product_files() {
  (cd "$1" && find . \( -path ./.git -o -path ./build -o -path './build-*' -o -path ./tests \
      -o -path ./fuzz -o -path ./bench \) -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) \
      ! -name '*_test.cpp' -print | sed 's#^\./##' | LC_ALL=C sort)
}

# Prints "count<TAB>file" for each product file of tree $1 holding fragment $2.
find_fragment() {
  local tree=$1 fragment=$2
  local files=()
  mapfile -t files < <(product_files "$tree")
  (cd "$tree" && FRAGMENT="$fragment" perl -e "$FRAGMENT_PERL"'
    my $re = pattern($ENV{FRAGMENT});
    for my $file (@ARGV) {
      open(my $in, "<", $file) or next;
      local $/; my $text = <$in>;
      my $count = () = $text =~ /$re/g;
      print "$count\t$file\n" if $count;
    }' "${files[@]}")
}

# Sets LOCATED to the file holding fragment $2 in tree $1, or to "" with
# LOCATE_STATUS "NOT-FOUND" or "AMBIGUOUS".
locate() {
  local hits total=0 count file
  hits=$(find_fragment "$1" "$2")
  LOCATED="" LOCATE_STATUS=""
  while IFS=$'\t' read -r count file; do
    [ -n "$count" ] || continue
    total=$((total + count))
    LOCATED=$file
  done <<<"$hits"
  if [ "$total" -eq 0 ]; then LOCATED="" LOCATE_STATUS="NOT-FOUND"; fi
  if [ "$total" -gt 1 ]; then LOCATED="" LOCATE_STATUS="AMBIGUOUS"; fi
  return 0
}

# Replaces the one occurrence of fragment $2 in file $1 by $3.
apply_mutant() {
  FRAGMENT="$2" REPLACEMENT="$3" perl -e "$FRAGMENT_PERL"'
    my ($file) = @ARGV;
    my $re = pattern($ENV{FRAGMENT});
    my $replacement = join("\n", split(/<NL>/, $ENV{REPLACEMENT}, -1));
    open(my $in, "<", $file) or die "cannot read $file: $!\n";
    my $text = do { local $/; <$in> };
    close($in);
    $text =~ s/$re/$replacement/ or die "fragment not found in $file\n";
    open(my $out, ">", $file) or die "cannot write $file: $!\n";
    print $out $text;
    close($out) or die "cannot write $file: $!\n";' "$1"
}

# ---- output ----------------------------------------------------------------------
emit() {
  printf '%s\n' "$1"
  if [ -n "$OUT_FILE" ]; then printf '%s\n' "$1" >>"$OUT_FILE"; fi
}

result_line() {  # label status file description
  emit "$(printf '%-8s %-9s %-32s %s' "$1" "$2" "$3" "$4")"
}

progress() { printf '%s\n' "$*" >&2; }

# ---- --list: where each fragment is, without building ----------------------------
if [ "$LIST_ONLY" -eq 1 ]; then
  missing=0
  for i in "${!LABELS[@]}"; do
    locate "$SOURCE_DIR" "${ORIGINALS[$i]}"
    if [ -n "$LOCATED" ]; then
      result_line "${LABELS[$i]}" "found" "$LOCATED" "${DESCRIPTIONS[$i]}"
    else
      result_line "${LABELS[$i]}" "$LOCATE_STATUS" "-" "${DESCRIPTIONS[$i]}"
      missing=1
    fi
  done
  exit "$missing"
fi

# ---- the scratch copy and its build ----------------------------------------------
SCRATCH="/tmp/mutation-$(printf '%s' "${SOURCE_DIR#/}" | tr '/ ' '--')"
WORK_SOURCE="$SCRATCH/src"
WORK_BUILD="$SCRATCH/build"
LOGS="$SCRATCH/logs"
mkdir -p "$WORK_SOURCE" "$WORK_BUILD" "$LOGS"

# One run at a time per scratch folder; a second one waits for the first.
exec 9>"$SCRATCH.lock"
if ! flock -n 9; then
  progress "another mutation check is using $SCRATCH; waiting for it to finish"
  flock 9
fi
rm -f "$LOGS"/mutant-*.log

# Brings the copy up to date with the source tree. A file is copied only
# when its content differs, and then gets a fresh time stamp, so the build
# recompiles exactly what changed (a file left mutated by an interrupted run
# included).
sync_copy() {
  local file
  while IFS= read -r -d '' file; do
    if ! cmp -s "$SOURCE_DIR/$file" "$WORK_SOURCE/$file"; then
      mkdir -p "$WORK_SOURCE/$(dirname "$file")"
      cp "$SOURCE_DIR/$file" "$WORK_SOURCE/$file"
    fi
  done < <(cd "$SOURCE_DIR" && find . \( -path ./.git -o -path ./build -o -path './build-*' \) -prune \
             -o -type f -print0)
  while IFS= read -r -d '' file; do
    [ -e "$SOURCE_DIR/$file" ] || rm -f "$WORK_SOURCE/$file"
  done < <(cd "$WORK_SOURCE" && find . -type f -print0)
}

# The lock's descriptor is not handed on: a process left running by a test
# must not keep the scratch folder locked.
build() {
  cmake --build "$WORK_BUILD" -j2 >"$LOGS/build.log" 2>&1 9>&-
}

run_tests() {
  ctest --test-dir "$WORK_BUILD" -j2 --stop-on-failure --timeout 60 >"$LOGS/test.log" 2>&1 9>&-
}

MUTATED_FILE=""
BACKUP="$SCRATCH/original"
restore() {
  if [ -n "$MUTATED_FILE" ]; then
    # Written in place (not moved back), so the file gets a new time stamp
    # and the next build recompiles it.
    cat "$BACKUP" >"$MUTATED_FILE"
    MUTATED_FILE=""
  fi
}
trap restore EXIT
trap 'restore; exit 130' INT TERM

START=$(date +%s)
[ -z "$OUT_FILE" ] || : >"$OUT_FILE"
progress "copying $SOURCE_DIR to $WORK_SOURCE"
sync_copy
progress "configuring a Debug build in $WORK_BUILD"
# Tests are discovered when ctest runs, so that a mutant which makes a test
# binary crash on start counts as caught rather than as a failed build.
cmake -S "$WORK_SOURCE" -B "$WORK_BUILD" -DCMAKE_BUILD_TYPE=Debug -DINSTALLER_TESTS=ON \
  -DINSTALLER_SANITIZE=OFF -DINSTALLER_FUZZ=OFF -DINSTALLER_BENCHMARKS=OFF \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >"$LOGS/configure.log" 2>&1 9>&- ||
  { echo "configuring failed, see $LOGS/configure.log" >&2; exit 2; }
progress "building the unmutated tree"
build || { echo "the unmutated tree does not build, see $LOGS/build.log" >&2; exit 2; }
progress "running the unmutated test suite"
run_tests || { echo "the unmutated test suite fails, see $LOGS/test.log" >&2; exit 2; }

# ---- the mutants, one at a time ----------------------------------------------------
declare -A CAUGHT=() APPLIED=() INVALID=() MISSING=()
missing=0
total=${#LABELS[@]}
for i in "${!LABELS[@]}"; do
  label=${LABELS[$i]}
  description=${DESCRIPTIONS[$i]}
  locate "$WORK_SOURCE" "${ORIGINALS[$i]}"
  if [ -z "$LOCATED" ]; then
    result_line "$label" "$LOCATE_STATUS" "-" "$description"
    MISSING[$label]=$(( ${MISSING[$label]:-0} + 1 ))
    missing=1
    continue
  fi
  progress "[$((i + 1))/$total] mutant ${NUMBERS[$i]}, $label: $LOCATED: $description"
  target="$WORK_SOURCE/$LOCATED"
  cp "$target" "$BACKUP"
  MUTATED_FILE=$target
  apply_mutant "$target" "${ORIGINALS[$i]}" "${REPLACEMENTS[$i]}"
  # The log of each mutant stays in $LOGS/mutant-<place in the table>.log:
  # the build errors of an invalid one, the test run (and what failed)
  # otherwise.
  if ! build; then
    status=INVALID
    cp "$LOGS/build.log" "$LOGS/mutant-${NUMBERS[$i]}.log"
    INVALID[$label]=$(( ${INVALID[$label]:-0} + 1 ))
  elif run_tests; then
    status=SURVIVED
    APPLIED[$label]=$(( ${APPLIED[$label]:-0} + 1 ))
    cp "$LOGS/test.log" "$LOGS/mutant-${NUMBERS[$i]}.log"
  else
    status=CAUGHT
    APPLIED[$label]=$(( ${APPLIED[$label]:-0} + 1 ))
    CAUGHT[$label]=$(( ${CAUGHT[$label]:-0} + 1 ))
    cp "$LOGS/test.log" "$LOGS/mutant-${NUMBERS[$i]}.log"
  fi
  restore
  result_line "$label" "$status" "$LOCATED" "$description"
done

# ---- summary -------------------------------------------------------------------------
emit ""
emit "per folder (caught/applied):"
caught_total=0 applied_total=0
for label in "${FOLDER_ORDER[@]}"; do
  [[ " ${LABELS[*]} " == *" $label "* ]] || continue
  caught=${CAUGHT[$label]:-0} applied=${APPLIED[$label]:-0}
  caught_total=$((caught_total + caught)) applied_total=$((applied_total + applied))
  notes=""
  [ "${INVALID[$label]:-0}" -eq 0 ] || notes+=" ${INVALID[$label]} invalid"
  [ "${MISSING[$label]:-0}" -eq 0 ] || notes+=" ${MISSING[$label]} not found or ambiguous"
  emit "$(printf '%-8s %s/%s%s' "$label" "$caught" "$applied" "${notes:+ (${notes# })}")"
done
if [ "$applied_total" -gt 0 ]; then
  percent=$(( (200 * caught_total + applied_total) / (2 * applied_total) ))
  emit "caught $caught_total/$applied_total ($percent%)"
else
  emit "caught 0/0 (no mutant applied)"
fi
progress "done in $(( ($(date +%s) - START) / 60 )) min; logs in $LOGS"
exit "$missing"
}

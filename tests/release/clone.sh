# shellcheck shell=bash
# Sourced by the release tests. clone_tree REPO DIR DATE: DIR becomes a clone
# of REPO's HEAD. When REPO's tree has changes, the clone takes its files
# (untracked ones included) and commits them as "snapshot" on DATE, so that
# clones made with the same DATE are the same commit, and nothing is written
# to REPO.
clone_tree() {
  local repo=$1 dir=$2 date=$3 file
  mkdir -p "$(dirname "$dir")"
  git clone -q --shared "$repo" "$dir"
  git -C "$dir" checkout -q --detach "$(git -C "$repo" rev-parse HEAD)"
  if [[ -n $(git -C "$repo" status --porcelain --untracked-files=all) ]]; then
    git -C "$dir" rm -r -q --cached .
    find "$dir" -mindepth 1 -maxdepth 1 ! -name .git -exec rm -rf {} +
    (cd "$repo" && git ls-files -z --cached --others --exclude-standard |
      while IFS= read -r -d '' file; do
        if [[ -e $file || -L $file ]]; then printf '%s\0' "$file"; fi
      done | tar --null -T - -cf -) | tar -xf - -C "$dir"
    git -C "$dir" add -A
    GIT_AUTHOR_NAME=snapshot GIT_AUTHOR_EMAIL=snapshot@localhost GIT_AUTHOR_DATE=$date \
      GIT_COMMITTER_NAME=snapshot GIT_COMMITTER_EMAIL=snapshot@localhost GIT_COMMITTER_DATE=$date \
      git -C "$dir" commit -q -m "snapshot of the work tree"
  fi
}

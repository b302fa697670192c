#!/usr/bin/env bash
# The tool's main job on an embedded example: a folder holding Report.TXT and
# report.txt with different contents; Report.TXT is copied by its exact name.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for package in cmake g++ make; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

cmake --preset host >/dev/null
cmake --build --preset host -j2 --target vantro >/dev/null

folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
printf 'Quarterly report, final version (Report.TXT)\n' > "$folder/Report.TXT"
printf 'draft notes, do not send (report.txt)\n' > "$folder/report.txt"
vantro=$PWD/build/host/vantro

cd "$folder"
echo "In $folder:"
ls -l
echo
echo "\$ vantro Report.TXT Copy.txt"
status=0
"$vantro" Report.TXT Copy.txt </dev/null || status=$?
echo "(exit code $status)"
echo
echo "Copy.txt holds:  $(cat Copy.txt)"
if cmp -s Copy.txt Report.TXT; then
  echo "It is Report.TXT, byte for byte: the name was looked up with its exact case."
else
  echo "It is NOT Report.TXT." && exit 1
fi
echo
echo "\$ vantro REPORT.txt Other.txt   (a spelling that names neither file)"
"$vantro" REPORT.txt Other.txt </dev/null || echo "(exit code $?)"

# A tree with twins: a Makefile beside a makefile, folders Src and src. Windows' own tools
# merge such twins without a word; vantro /E keeps them apart where the destination does.
mkdir -p project/Src project/src
printf 'all:\n\techo Makefile\n' > project/Makefile
printf 'all:\n\techo makefile\n' > project/makefile
printf 'int main() { return 1; }\n' > project/Src/main.c
printf 'int main() { return 2; }\n' > project/src/main.c
echo
echo "\$ vantro project backup /E"
"$vantro" project backup /E </dev/null || echo "(exit code $?)"
for file in Makefile makefile Src/main.c src/main.c; do
  if cmp -s "project/$file" "backup/$file"; then
    echo "backup/$file arrived, equal to project/$file"
  else
    echo "backup/$file is missing or differs" && exit 1
  fi
done

# A tree stopped half way (as Ctrl+C stops it) is finished by the same command run again: what
# is whole stays, the rest is copied, and only then does the tree take its name.
mkdir -p big
for folder in $(seq 1 20); do
  mkdir -p "big/folder$folder"
  for file in $(seq 1 100); do printf '%s %s\n' "$folder" "$file" >"big/folder$folder/$file.txt"; done
done
echo
echo "\$ vantro big big-copy /E   (stopped by Ctrl+C once it has begun)"
env --default-signal=INT "$vantro" big big-copy /E </dev/null &
until [ -d big-copy.partial/folder1 ] || [ -d big-copy ]; do sleep 0.01; done
kill -INT $! 2>/dev/null || true
wait $! || echo "(exit code $?)"
if [ -d big-copy ]; then
  echo "(the copy was whole before the stop came)" && exit 0
fi
echo
echo "\$ vantro big big-copy /E   (the same command again)"
"$vantro" big big-copy /E </dev/null || { echo "(exit code $?)"; exit 1; }
diff -r big big-copy >/dev/null && echo "big-copy holds the whole tree, and big-copy.partial is gone."

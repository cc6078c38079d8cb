#!/bin/sh
# The README's recipes for large batches, run on this machine over names that trip
# up scripts: one machine, GNU parallel (the local machine as its one host, ":"),
# and a Slurm job array (its tasks run one after another, one of them twice, as a
# requeued task would). Usage: recipes_test.sh LUMTAB
set -eu
lumtab=$1
command -v parallel >/dev/null || { echo "GNU parallel is not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
mkdir -p bin && ln -s "$lumtab" bin/lumtab
PATH="$dir/bin:$PATH"

# A data set: one folder per person, names with spaces, a newline, a leading dash
# and UTF-8; every image the same 3 x 2 picture, whose table is known.
make_data() {
    rm -rf data tables lists && mkdir -p "data/s 1" data/s2 data/s3
    for name in "data/s 1/a b.pgm" "data/s2/-x.pgm" "data/s2/$(printf 'new\nline').pgm" \
        "data/s3/ünï.pgm" data/s3/1.pgm data/s3/2.pgm; do
        printf 'P5\n3 2\n255\n\000\200\377\007\010\011' >"$name"
    done
}
# In $1, a table for every image, each right; counted by NUL-ended names.
expect_tables() {
    images=$(find data -name '*.pgm' -print0 | tr -cd '\0' | wc -c)
    tables=$(find "$1" -name '*.int' -print0 | tr -cd '\0' | wc -c)
    [ "$tables" -eq "$images" ] || { echo "$tables tables in $1 for $images images"; exit 1; }
    find "$1" -name '*.int' -exec sh -c 'for table; do
        printf "0 128 255 \n7 8 9 \n" | cmp -s - "$table" || { echo "$table is wrong"; exit 1; }
    done' sh {} +
}

echo "one machine"
make_data
find data -name '*.pgm' -print0 | lumtab -u -j 0 -0 --files-from=-
expect_tables data

echo "GNU parallel, a shared file system"
make_data
find data -name '*.pgm' -print0 |
    parallel -0 -X -j 1 --sshlogin : --workdir . lumtab -u -j 0 --
expect_tables data

echo "GNU parallel, no shared file system"
make_data
find data -name '*.pgm' -print0 |
    parallel -0 -X -j 1 --sshlogin : --trc {.}.int lumtab -j 0 -- 2>parallel.err
grep -v 'trc ignored' parallel.err && exit 1
expect_tables data

echo "a Slurm job array"
make_data
rm data/s3/2.pgm  # unique names for one target directory
mkdir tables lists
find data -name '*.pgm' -print0 >all.list
split -t '\0' -n l/4 -d -a 3 all.list lists/
cat >job.sh <<'END'
#!/bin/sh
#SBATCH --array=0-3
#SBATCH --cpus-per-task=8
#SBATCH --requeue
exec lumtab -u -j 0 -0 --files-from="lists/$(printf %03d "$SLURM_ARRAY_TASK_ID")" -t tables
END
for task in 0 1 2 3 2; do
    SLURM_ARRAY_TASK_ID=$task sh job.sh
done
expect_tables tables
echo "all recipes ran"

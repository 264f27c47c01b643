#!/bin/sh
# Stands in for skelv-check's analysis of one recording in the batch tests. The recording is
# a text file whose first line says what the analysis finds and how long it takes:
# "pass 21.5", "fail 80 2" (2 seconds), "unmeasurable" (its reason in the result, then a
# line of noise on standard error), "unwritable" (exit 3, as on a full disk), "crash",
# "hang"; anything else cannot be decoded. Each run is logged to $FAKE_CHECK_LOG ("start FILE", then "end FILE" and
# the decoder threads it was given, "threads=N" or "threads=auto").
set -u
json='' csv='' html='' timeline='' profile=ebu-r37 recording=''
while [ $# -gt 0 ]; do
  case "$1" in
    --json) json=$2; shift 2 ;;
    --csv) csv=$2; shift 2 ;;
    --html) html=$2; shift 2 ;;
    --timeline) timeline=$2; shift 2 ;;
    --profile) profile=$2; shift 2 ;;
    --) recording=$2; shift 2 ;;
    *) shift 2 ;;
  esac
done
log=${FAKE_CHECK_LOG:-/dev/null}
echo "start $recording" >> "$log"
verdict='' delay='' seconds=''
read -r verdict delay seconds < "$recording" 2>/dev/null
[ -n "$seconds" ] && sleep "$seconds"
case "$verdict" in
  pass) code=0 ;;
  fail) code=4 ;;
  unmeasurable) code=2 delay=null ;;
  unwritable) echo "skelv-check: cannot write result.json: No space left on device" >&2; exit 3 ;;
  crash) kill -SEGV $$ ;;
  hang) exec sleep 1000 ;;
  *) echo "skelv-check: $recording: cannot be decoded" >&2; exit 2 ;;
esac
reason=null
[ "$verdict" = unmeasurable ] && reason='"no beep found"'
printf '{"profile":{"name":"%s"},"verdict":"%s","reason":%s,"video":{"dropped":2,"repeated":1},'\
'"sync":{"count":3,"median_ms":%s,"min_ms":%s,"max_ms":%s,"drift_ms_per_min":0.5}}\n' \
  "$profile" "$verdict" "$reason" "$delay" "$delay" "$delay" > "$json"
echo "kind,delay_ms" > "$csv"
echo "<html></html>" > "$html"
echo "time_ms" > "$timeline"
echo "Lip-sync: $verdict"
if [ "$verdict" = unmeasurable ]; then
  echo "skelv-check: $recording: no beep found" >&2
  echo "(skelv-check:1): GStreamer-WARNING **: a late warning" >&2
fi
echo "end $recording threads=${SKELV_DECODER_THREADS:-auto}" >> "$log"
exit $code

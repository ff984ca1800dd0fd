#!/bin/sh
# kestalsrc in gst-launch-1.0 pipelines against kestal-devsim on 127.0.0.1 (GST_PLUGIN_PATH names
# the build's plugin folder): frames and their numbers, a slow downstream, an RTP round trip, two
# elements streaming two devices, the simulator killed and restarted, the disk transport, and the starts that must fail.
#   kestalsrc_test.sh KESTAL_DEVSIM FRAME_CHECK
devsim=$1 check=$2
for tool in gst-launch-1.0 gst-inspect-1.0; do
  command -v $tool > /dev/null || { echo "no $tool (Debian gstreamer1.0-tools)"; exit 77; }
done
dir=$(mktemp -d)
cd "$dir" || exit 1
trap 'kill $sim $sim2 $recv $gst 2>/dev/null; wait; cd /; [ -n "$KESTAL_KEEP_TEST_DIR" ] || rm -rf "$dir"' EXIT
export GST_REGISTRY="$dir/registry.bin"  # the user's plugin cache stays as it was
for element in multifilesink videoconvert rtpvrawpay rtpvrawdepay udpsrc udpsink; do
  gst-inspect-1.0 $element > /dev/null 2>&1 || { echo "no GStreamer element $element"; exit 77; }
done
gst-inspect-1.0 kestalsrc > /dev/null || { echo "FAIL: no kestalsrc in $GST_PLUGIN_PATH"; exit 1; }
. "$(dirname "$0")/../support/devsim.sh"
fail() { echo "FAIL: $*"; for f in *.out; do echo "--- $f"; tail -n 20 "$f"; done; exit 1; }
# Pipelines in the background run timeout itself, whose $! passes a kill on to gst-launch-1.0.
launch() { timeout 60 gst-launch-1.0 "$@"; }
wait_for() {  # wait_for CONDITION: true once CONDITION holds, within 15 s
  for _ in $(seq 150); do eval "$1" && return 0; sleep 0.1; done
  return 1
}
offsets() { sed -n 's/.*filename=(string)\([^,]*\),.*offset=(guint64)\([0-9]*\),.*/\1 \2/p' "$1"; }

# Ten frames, each the simulator's frame of the number the buffer's offset gives.
start_devsim "$devsim" "$dir"
launch -m kestalsrc host=127.0.0.1 port=$port num-buffers=10 \
  ! multifilesink location=f_%02d.raw post-messages=true > frames.out 2>&1 || fail "ten frames"
[ "$(offsets frames.out | wc -l)" -eq 10 ] || fail "not ten frames"
$check 3 $(offsets frames.out) || fail "the frames' pixels"

# A slow downstream: the oldest frames are dropped and counted, and every gap is among them.
launch -v -m kestalsrc host=127.0.0.1 port=$port frame-queue=1 num-buffers=4 \
  ! identity sleep-time=400000 ! multifilesink location=d_%02d.raw post-messages=true > slow.out 2>&1 \
  || fail "slow downstream"
dropped=$(sed -n 's/.*kestalsrc0: dropped = \([0-9]*\)$/\1/p' slow.out | tail -n 1)
gaps=$(offsets slow.out | awk 'NR == 1 { first = $2 } END { print $2 - first - (NR - 1) }')
[ "$gaps" -gt 0 ] && [ "${dropped:-0}" -ge "$gaps" ] || fail "gaps $gaps, dropped ${dropped:-none}"

# RTP over 127.0.0.1 as I420 and back to GRAY8: every frame received is one sent, byte for byte.
timeout 60 gst-launch-1.0 -v udpsrc address=127.0.0.1 port=0 buffer-size=4000000 \
  caps="application/x-rtp,media=video,clock-rate=90000,encoding-name=RAW,sampling=YCbCr-4:2:0,depth=(string)8,width=(string)640,height=(string)480,colorimetry=BT601-5,payload=96" \
  ! rtpvrawdepay ! videoconvert ! video/x-raw,format=GRAY8 ! multifilesink location=r_%02d.raw \
  > recv.out 2>&1 &
recv=$!
wait_for 'grep -q "udpsrc0: port = [1-9]" recv.out' || fail "no receiver"
udp=$(sed -n 's/.*udpsrc0: port = \([0-9]*\).*/\1/p' recv.out)
launch kestalsrc host=127.0.0.1 port=$port num-buffers=10 ! tee name=t \
  ! queue ! multifilesink location=s_%02d.raw t. ! queue ! videoconvert ! video/x-raw,format=I420 \
  ! rtpvrawpay ! udpsink host=127.0.0.1 port=$udp > send.out 2>&1 || fail "RTP sender"
sleep 1
kill $recv
md5sum s_*.raw | cut -c1-32 > sent
[ "$(ls r_*.raw | wc -l)" -ge 5 ] || fail "fewer than 5 of 10 frames came over RTP"
for f in r_*.raw; do grep -q "$(md5sum < $f | cut -c1-32)" sent || fail "$f is no frame sent"; done

# Two kestalsrc in one pipeline, each with a session of its own for a simulator of its own (the
# second's frames 640 x 240): each branch gets its own device's frames, whole.
"$devsim" --port 0 --image-size 153600 --quiet --duration-s 60 > sim2.out &
sim2=$!
wait_for 'grep -q listening sim2.out' || fail "the second simulator did not start"
port2=$(sed -n 's/^kestal-devsim: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' sim2.out)
launch kestalsrc host=127.0.0.1 port=$port num-buffers=5 ! multifilesink location=a_%02d.raw \
  kestalsrc host=127.0.0.1 port=$port2 num-buffers=5 ! multifilesink location=b_%02d.raw \
  > two.out 2>&1 || fail "two kestalsrc"
kill $sim2
sizes() { for f in "$1"_*.raw; do wc -c < "$f"; done | sort | uniq -c | awk '{print $1 "x" $2}'; }
[ "$(sizes a)" = 5x307200 ] && [ "$(sizes b)" = 5x153600 ] \
  || fail "not five 640 x 480 and five 640 x 240 frames: $(sizes a) $(sizes b)"

# The simulator killed mid-run: a warning, then frames again from the one restarted on its port,
# half as high (640 x 240): new caps, and the new frames whole.
timeout 60 gst-launch-1.0 -v -m kestalsrc host=127.0.0.1 port=$port num-buffers=40 \
  ! multifilesink location=k_%02d.raw post-messages=true > restart.out 2>&1 &
gst=$!
wait_for '[ -f k_05.raw ]' || fail "no frames before the kill"
kill $sim
wait_for 'grep -q "WARNING: .*Lost the link to the device" restart.out' || fail "no warning"
"$devsim" --port $port --image-size 153600 --quiet --duration-s 60 > sim.out &
sim=$!
wait $gst || fail "the pipeline ended with an error after the restart"
offsets restart.out | sed 1d | grep -q ' 1$' || fail "no frames from the restarted simulator"
grep -q "kestalsrc0.GstPad:src: caps = video/x-raw, format=(string)GRAY8, width=(int)640, height=(int)240" \
  restart.out && [ "$(wc -c < k_39.raw)" -eq 153600 ] || fail "no new caps after the restart"

# The disk transport with Y-original images: the element orders the device into that mode.
kill $sim
"$devsim" --storage disk.img --create-image --quiet --duration-s 60 > sim.out &
sim=$!
wait_for 'grep -q serving sim.out' || fail "the simulator did not open its disk"
launch -m kestalsrc transport=storage disk=disk.img kind=y-original num-buffers=3 \
  ! multifilesink location=y_%02d.raw post-messages=true > storage.out 2>&1 || fail "storage"
[ "$(offsets storage.out | wc -l)" -eq 3 ] && $check 8 $(offsets storage.out) || fail "Y-original"

# Starts that fail with their reason: two elements on one disk, a missing disk, no address.
while IFS='|' read -r pipeline reason; do
  launch $pipeline > error.out 2>&1 && fail "$pipeline started"
  grep -q "$reason" error.out || fail "$pipeline: not '$reason'"
done << ROWS
kestalsrc transport=storage disk=disk.img ! fakesink kestalsrc transport=storage disk=disk.img ! fakesink|another session owns the
kestalsrc transport=storage disk=$dir/none.img ! fakesink|No disk $dir/none.img
kestalsrc ! fakesink|No device address
ROWS
echo "kestalsrc: frames, RTP, restart and failed starts as expected"

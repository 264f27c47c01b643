#!/bin/sh
# Makes a small sample clip with ffmpeg and analyses it.
set -eu
build_dir=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$root/demo"
cd "$root/demo"

# Grey picture with two boxes blinking black/white at different rates, beeps every second.
ffmpeg -nostdin -y -v error \
  -f lavfi -i "color=c=gray:s=320x240:r=25:d=4,
drawbox=x=32:y=32:w=48:h=48:c=black:t=fill,drawbox=x=32:y=32:w=48:h=48:c=white:t=fill:enable='gte(mod(n,4),2)',
drawbox=x=112:y=32:w=48:h=48:c=black:t=fill,drawbox=x=112:y=32:w=48:h=48:c=white:t=fill:enable='mod(n,2)'" \
  -f lavfi -i "aevalsrc='if(lt(mod(t,1),0.1),0.25*sin(2*PI*547*t)+0.25*sin(2*PI*1823*t),0)':s=48000:d=4" \
  -c:v libx264 -pix_fmt yuv420p -c:a aac sample.mp4

echo "Analysing demo/sample.mp4:"
"$root/$build_dir/skelv-analyzer" sample.mp4
echo "Timeline written to demo/frames.txt"

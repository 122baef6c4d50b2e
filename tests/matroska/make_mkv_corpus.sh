#!/bin/sh
# Builds the Matroska files the reader tests use, with their reference packet lists:
#   NAME.mkv       the file
#   NAME.packets   ffprobe -show_packets in file order: stream_index,pts,dts,duration,size,flags and
#                  the MD5 of the packet's bytes (what a stream copy writes)
#   m2v_ffmpeg.extract.m2v  the MPEG-2 track as mkvextract writes it
#   NAME.blocks    mkvinfo's block lines (key and discardable flags) for a few files
# Usage: make_mkv_corpus.sh OUTPUT_DIR SHARED_DIR
set -e
out=$1
shared=$2
script_sum=$(md5sum "$0" | cut -d' ' -f1)
mkdir -p "$out"
cd "$out"
# Made already by this version of the script: nothing to do.
[ -f .complete ] && [ "$(cat .complete)" = "$script_sum" ] && exit 0
rm -f .complete
FF="ffmpeg -hide_banner -loglevel error -y"
SRC="-f lavfi -i testsrc2=size=320x240:rate=25"

# Streams
$FF $SRC -t 6 -c:v libx264 -preset ultrafast -g 25 -bf 0 -f h264 avc_nob.264
$FF $SRC -t 4 -c:v mpeg2video -g 12 -bf 2 -f mpeg2video m2v.m2v
$FF -f lavfi -i sine=frequency=440:sample_rate=44100 -t 6 -c:a libvorbis -q:a 2 a.ogg
$FF -f lavfi -i sine=frequency=660:sample_rate=48000 -t 6 -c:a ac3 -b:a 128k a.ac3
$FF -f lavfi -i sine=frequency=880:sample_rate=48000 -t 6 -c:a libopus a.opus

# Containers
$FF $SRC -t 4 -c:v libx264 -preset ultrafast -g 25 -bf 2 avc_ffmpeg.mkv
mkvmerge -q -o avc_nob.mkv --default-duration 0:25fps avc_nob.264
mkvmerge -q -o avc_nocues.mkv --cues 0:none --default-duration 0:25fps avc_nob.264
$FF -i avc_nob.mkv -c copy -f matroska pipe:1 > avc_stream.mkv
$FF $SRC -t 4 -c:v mpeg2video -g 12 -bf 2 m2v_ffmpeg.mkv
mkvmerge -q -o m2v_hr.mkv --compression 0:mpeg4_p2 m2v.m2v
mkvmerge -q -o multi.mkv --default-duration 0:25fps avc_nob.264 a.ogg a.ac3 a.opus
# A longer file of a few MB with the same layout as avc_nob.mkv.
$FF -f lavfi -i testsrc2=size=640x360:rate=25 -t 30 -c:v libx264 -preset ultrafast -g 25 -bf 0 \
  -f h264 avc_long.264
mkvmerge -q -o avc_long.mkv --default-duration 0:25fps avc_long.264
if [ -f "$shared/testdata/vc1/vc1_ap_gops.vc1" ]; then
  mkvmerge -q -o vc1.mkv --default-duration 0:25fps "$shared/testdata/vc1/vc1_ap_gops.vc1"
  mkvmerge -q -o vc1_hr.mkv --compression 0:mpeg4_p2 --default-duration 0:25fps \
    "$shared/testdata/vc1/vc1_ap_gops.vc1"
fi

# Chapters (two editions, nested atoms, displays in two languages, hidden and disabled flags, a
# segment UID, a chapter track and a chapter process),
# tags aimed at an edition, two chapters and the track, and two attached files (kept beside the
# file to compare with); small enough to seed the fuzz target whole.
$FF -f lavfi -i testsrc2=size=160x120:rate=25 -t 2 -c:v libx264 -preset ultrafast -g 25 -bf 0 \
  -f h264 meta.264
cat > meta_chapters.xml <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<Chapters>
  <EditionEntry>
    <EditionUID>1001</EditionUID>
    <EditionFlagHidden>1</EditionFlagHidden>
    <EditionFlagDefault>1</EditionFlagDefault>
    <ChapterAtom>
      <ChapterUID>2001</ChapterUID>
      <ChapterTimeStart>00:00:00.000000000</ChapterTimeStart>
      <ChapterTimeEnd>00:00:01.000000000</ChapterTimeEnd>
      <ChapterDisplay>
        <ChapterString>Opening</ChapterString>
        <ChapterLanguage>eng</ChapterLanguage>
      </ChapterDisplay>
      <ChapterDisplay>
        <ChapterString>Ouverture</ChapterString>
        <ChapterLanguage>fre</ChapterLanguage>
        <ChapterCountry>fr</ChapterCountry>
      </ChapterDisplay>
      <ChapterAtom>
        <ChapterUID>2002</ChapterUID>
        <ChapterTimeStart>00:00:00.400000000</ChapterTimeStart>
        <ChapterFlagHidden>1</ChapterFlagHidden>
        <ChapterFlagEnabled>0</ChapterFlagEnabled>
        <ChapterDisplay>
          <ChapterString>Inner</ChapterString>
          <ChapterLanguage>eng</ChapterLanguage>
        </ChapterDisplay>
      </ChapterAtom>
    </ChapterAtom>
  </EditionEntry>
  <EditionEntry>
    <EditionUID>1002</EditionUID>
    <EditionFlagOrdered>1</EditionFlagOrdered>
    <ChapterAtom>
      <ChapterUID>2003</ChapterUID>
      <ChapterTimeStart>00:00:01.200000000</ChapterTimeStart>
      <ChapterTimeEnd>00:00:01.800000000</ChapterTimeEnd>
      <ChapterSegmentUID format="hex">00112233445566778899aabbccddeeff</ChapterSegmentUID>
      <ChapterTrack><ChapterTrackNumber>1</ChapterTrackNumber></ChapterTrack>
      <ChapterDisplay>
        <ChapterString>Second edition</ChapterString>
        <ChapterLanguage>ger</ChapterLanguage>
      </ChapterDisplay>
      <ChapterProcess>
        <ChapterProcessCodecID>1</ChapterProcessCodecID>
        <ChapterProcessPrivate format="hex">0102</ChapterProcessPrivate>
        <ChapterProcessCommand>
          <ChapterProcessTime>1</ChapterProcessTime>
          <ChapterProcessData format="hex">414243</ChapterProcessData>
        </ChapterProcessCommand>
      </ChapterProcess>
    </ChapterAtom>
  </EditionEntry>
</Chapters>
XML
cat > meta_tags.xml <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<Tags>
  <Tag>
    <Targets>
      <TargetTypeValue>50</TargetTypeValue>
      <EditionUID>1001</EditionUID>
    </Targets>
    <Simple>
      <Name>TITLE</Name>
      <String>Metadata sample</String>
      <TagLanguage>eng</TagLanguage>
    </Simple>
  </Tag>
  <Tag>
    <Targets>
      <TargetTypeValue>30</TargetTypeValue>
      <ChapterUID>2001</ChapterUID>
      <ChapterUID>2003</ChapterUID>
    </Targets>
    <Simple>
      <Name>COMMENT</Name>
      <String>Two chapters</String>
      <TagLanguage>fre</TagLanguage>
      <DefaultLanguage>0</DefaultLanguage>
    </Simple>
  </Tag>
</Tags>
XML
cat > meta_track_tags.xml <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<Tags>
  <Tag>
    <Targets><TargetTypeValue>50</TargetTypeValue></Targets>
    <Simple><Name>ENCODER</Name><String>x264</String></Simple>
  </Tag>
</Tags>
XML
printf 'A plain note attached to the sample.\n' > meta_note.txt
head -c 3000 meta.264 > meta_cover.bin
mkvmerge -q -o meta.mkv --disable-track-statistics-tags --default-duration 0:25fps \
  --chapters meta_chapters.xml --global-tags meta_tags.xml --tags 0:meta_track_tags.xml \
  --attachment-name note.txt --attachment-description "A note" --attachment-mime-type text/plain \
  --attach-file meta_note.txt \
  --attachment-name cover.bin --attachment-mime-type application/octet-stream \
  --attach-file meta_cover.bin meta.264
rm -f meta_*.xml

rm -f ./*.264 ./*.m2v a.ogg a.ac3 a.opus

for f in *.mkv; do
  name=${f%.mkv}
  ffprobe -v error -show_packets -show_data_hash MD5 -of csv=p=0 \
    -show_entries packet=stream_index,pts,dts,duration,size,flags,data_hash "$f" > "$name.packets"
done
# mkvinfo's view of the blocks of the single-track files whose key flags ffprobe does not show
for name in m2v_hr vc1 vc1_hr; do
  if [ -f $name.mkv ]; then
    mkvinfo -v $name.mkv | grep -E 'Simple block:|Block group|Reference block' > $name.blocks
  fi
done
# mkvextract's raw MPEG-2 track: the frames back to back.
mkvextract -q tracks m2v_ffmpeg.mkv 0:m2v_ffmpeg.extract.m2v
echo "$script_sum" > .complete

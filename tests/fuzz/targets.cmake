# The fuzz targets, one line each: the target's name, its sources (in this folder),
# the libraries it links, and the kind of seeds make_seeds.py writes for it.
tessivar_fuzz_target(mkv_reader_fuzz SOURCES mkv_reader_fuzz.cpp LIBS tessivar_matroska SEEDS mkv)
tessivar_fuzz_target(index_avc_fuzz SOURCES index_reader_fuzz.cpp LIBS tessivar_source SEEDS index_avc
                     DEFINES FUZZ_READER=ReadAvcIndex FUZZ_CHOOSER=ChooseAvcGop)
tessivar_fuzz_target(index_mpeg2_fuzz SOURCES index_reader_fuzz.cpp LIBS tessivar_source SEEDS index_mpeg2
                     DEFINES FUZZ_READER=ReadMpeg2Index FUZZ_CHOOSER=ChooseMpeg2Gop)
tessivar_fuzz_target(index_vc1_fuzz SOURCES index_reader_fuzz.cpp LIBS tessivar_source SEEDS index_vc1
                     DEFINES FUZZ_READER=ReadVc1Index FUZZ_CHOOSER=ChooseVc1Gop)
tessivar_fuzz_target(stream_units_fuzz SOURCES stream_units_fuzz.cpp LIBS tessivar_source SEEDS stream)
tessivar_fuzz_target(mp4_layer_fuzz SOURCES mp4_layer_fuzz.cpp LIBS tessivar_mp4 SEEDS mp4)

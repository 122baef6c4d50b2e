// The comparison point for random access: the same frame list served by FFMS2 from
// the same file, timed around FFMS_GetFrame only.
//
//   serve-ffms2 FILE THREADS FRAMES.txt MD5S.txt
//
// Built by bench/run-serve.sh against Debian's libffms2-dev; not part of the build.
#include <ffms.h>
extern "C" {
#include <libavutil/md5.h>
#include <libavutil/mem.h>
}

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string FrameMd5(const FFMS_Frame* frame) {
  AVMD5* md5 = av_md5_alloc();
  av_md5_init(md5);
  for (int plane = 0; plane < 3; ++plane) {
    const int width = plane ? frame->EncodedWidth / 2 : frame->EncodedWidth;
    const int height = plane ? frame->EncodedHeight / 2 : frame->EncodedHeight;
    for (int y = 0; y < height; ++y)
      av_md5_update(md5, frame->Data[plane] + size_t(y) * frame->Linesize[plane], size_t(width));
  }
  uint8_t digest[16];
  av_md5_final(md5, digest);
  av_free(md5);
  char text[33];
  for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s FILE THREADS FRAMES.txt MD5S.txt\n", argv[0]);
    return 2;
  }
  std::vector<int> frames;
  {
    std::ifstream list(argv[3]);
    for (int n; list >> n;) frames.push_back(n);
  }
  char message[1024];
  FFMS_ErrorInfo error{FFMS_ERROR_SUCCESS, FFMS_ERROR_SUCCESS, sizeof(message), message};
  FFMS_Init(0, 0);
  FFMS_Indexer* indexer = FFMS_CreateIndexer(argv[1], &error);
  FFMS_Index* index = indexer ? FFMS_DoIndexing2(indexer, FFMS_IEH_ABORT, &error) : nullptr;
  int track = index ? FFMS_GetFirstTrackOfType(index, FFMS_TYPE_VIDEO, &error) : -1;
  FFMS_VideoSource* video =
      track >= 0 ? FFMS_CreateVideoSource(argv[1], track, index, std::atoi(argv[2]), FFMS_SEEK_NORMAL, &error)
                 : nullptr;
  if (!video) {
    std::fprintf(stderr, "ffms2: %s\n", message);
    return 1;
  }
  const FFMS_Frame* first = FFMS_GetFrame(video, 0, &error);
  if (!first) {
    std::fprintf(stderr, "ffms2: %s\n", message);
    return 1;
  }
  const int width = first->EncodedWidth, height = first->EncodedHeight;
  const int formats[2] = {FFMS_GetPixFmt("yuv420p"), -1};
  FFMS_SetOutputFormatV2(video, formats, width, height, FFMS_RESIZER_POINT, &error);

  // A fresh source, so the first timed request is a real seek like the others.
  FFMS_DestroyVideoSource(video);
  video = FFMS_CreateVideoSource(argv[1], track, index, std::atoi(argv[2]), FFMS_SEEK_NORMAL, &error);
  if (!video) {
    std::fprintf(stderr, "ffms2: %s\n", message);
    return 1;
  }
  FFMS_SetOutputFormatV2(video, formats, width, height, FFMS_RESIZER_POINT, &error);

  std::FILE* out = std::fopen(argv[4], "w");
  if (!out) return 1;
  double seconds = 0;
  for (int n : frames) {
    auto start = std::chrono::steady_clock::now();
    const FFMS_Frame* frame = FFMS_GetFrame(video, n, &error);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!frame) {
      std::fprintf(stderr, "ffms2: frame %d: %s\n", n, message);
      return 1;
    }
    std::fprintf(out, "%d %s\n", n, FrameMd5(frame).c_str());
  }
  std::fclose(out);
  FFMS_DestroyVideoSource(video);
  FFMS_DestroyIndex(index);
  std::printf("frames %zu seconds %.3f fps %.2f\n", frames.size(), seconds, frames.size() / seconds);
  return 0;
}

#include "source/clip.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "source/index_readers.h"
#include "source/stream_readers.h"
#include "source/worker.h"

namespace {

constexpr size_t kPathBufferSize = kMaxClipPath + 1;
constexpr int kFirstLineChars = 78;

#if defined(__LP64__)
constexpr const char* kSoftwareEngineLibrary = "libmfxsw64.so";
constexpr const char* kSoftwareEngineMissing = "Orvanto: cannot load libmfxsw64.so";
#else
constexpr const char* kSoftwareEngineLibrary = "libmfxsw32.so";
constexpr const char* kSoftwareEngineMissing = "Orvanto: cannot load libmfxsw32.so";
#endif

// The script error for an index reader's result code; null for success (and for
// codes the readers do not produce).
const char* IndexErrorText(int code) {
  switch (code) {
    case kIndexEmpty: return "Orvanto: Invalid index file, it's empty!";
    case kIndexVersionMismatch:
      return "Orvanto: Cobrisk/Marlquin mismatch. You are picking up\n"
             "a version of Marlquin, possibly from your plugins directory,\n"
             "that does not match the version of Cobrisk used to make the index\n"
             "file. Search your hard disk for all copies of Marlquin.dll\n"
             "and delete or rename all of them except for the one that\n"
             "has the same version number as the Cobrisk.exe that was used\n"
             "to make the index file.";
    case kIndexFileFailure: return "Orvanto: Could not open one of the input files.";
    case kIndexWrongKind: return "Orvanto: The input file is not a VQ project file.";
    case kIndexNoGop: return "Orvanto: No GOPs found.";
    case kIndexForceFilmRepeats:
      return "Orvanto: Force Film mode not supported with frame repeats.\n"
             "Refer to the Cobrisk Users Manual.";
    case kIndexContainerUnreadable: return "Orvanto: Could not parse the Matroska file.";
    case kIndexNoVideoTrack: return "Orvanto: Could not find a video track in the Matroska file.";
    default: return nullptr;
  }
}

// The extension test works on a lower-cased copy; the path itself keeps its case
// (file names are case-sensitive here).
bool NamesIndexFile(const char* path) {
  const char* dot = std::strrchr(path, '.');
  if (!dot) return true;
  char extension[4] = {};
  for (int i = 0; i < 3 && dot[1 + i]; ++i)
    extension[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(dot[1 + i])));
  return std::strncmp(extension, "vqi", 3) == 0;
}

bool CanOpenForReading(const char* path) {
  std::FILE* file = std::fopen(path, "r");
  if (!file) return false;
  std::fclose(file);
  return true;
}

}  // namespace

VQMultiSource::VQMultiSource(const char* path, int32_t engine, bool i420, int32_t deinterlace,
                             int32_t fieldop, bool debug, bool silent, IScriptEnvironment* env)
    : vi{},
      lastFrame(-1),
      user32Module(nullptr),
      // source is default-initialised: its constructors set every field and leave the
      // large buffers alone (value-initialising would clear some 26 MB for nothing).
      outPicture(nullptr),
      repeatPicture(nullptr),
      fieldPicture(nullptr) {
  // A failed construction runs no destructor: free what was taken, then let the
  // script error go on to the host.
  try {
    Construct(path, engine, i420, deinterlace, fieldop, debug, silent, env);
  } catch (...) {
    StopWorker(&source);
    ReleaseResources();
    throw;
  }
}

void VQMultiSource::Construct(const char* path, int32_t engine, bool i420, int32_t deinterlace,
                              int32_t fieldop, bool debug, bool silent, IScriptEnvironment* env) {
  if (!path) path = "";
  if (std::strlen(path) > kMaxClipPath)
    env->ThrowError("Orvanto: The path is too long (more than %d characters).", int(kMaxClipPath));
  char workPath[kPathBufferSize];
  std::snprintf(workPath, sizeof workPath, "%s", path);
  source.silent = silent;

  char indexPath[kPathBufferSize];
  if (NamesIndexFile(workPath)) {
    std::snprintf(indexPath, sizeof indexPath, "%s", workPath);
  } else {
    if (std::snprintf(indexPath, sizeof indexPath, "%s.vqi", workPath) >= int(sizeof indexPath))
      env->ThrowError("Orvanto: The path is too long (more than %d characters).", int(kMaxClipPath) - 4);
    if (!CanOpenForReading(indexPath)) RunIndexer(workPath, indexPath, silent, env);
  }

  source.env = env;
  source.engine = engine;
  // Only engines 0, 1 and 2 mean something to the decode side.
  if (engine > 2 || engine < 0) env->ThrowError("Invalid engine parameter in script!");

  char libraryPath[kPathBufferSize + 32];
  if (!GetPluginFolder(libraryPath, kPathBufferSize)) env->ThrowError("%s", kSoftwareEngineMissing);
  std::strcat(libraryPath, kSoftwareEngineLibrary);
  // Kept loaded for the life of the process; the clip makes no call into it.
  if (!LoadLibraryA(libraryPath)) env->ThrowError("%s", kSoftwareEngineMissing);

  source.i420 = i420;
  source.debug = debug ? 1 : 0;
  source.deinterlace = deinterlace;
  source.fieldop = deinterlace > 0 ? 2 : fieldop;

  user32Module = LoadLibraryA("user32.dll");
  if (!user32Module) env->ThrowError("Could not load user32.dll!");

  source.indexFile = std::fopen(indexPath, "r");
  if (!source.indexFile) env->ThrowError("Orvanto: Cannot open index file!");
  char firstLine[kFirstLineChars + 2] = {};
  const bool readable = std::fgets(firstLine, kFirstLineChars + 1, source.indexFile) != nullptr;
  std::fclose(source.indexFile);
  source.indexFile = nullptr;
  if (!readable) env->ThrowError("Orvanto: Invalid index file!");

  int (*reader)(SourceState*, const char*) = nullptr;
  switch (firstLine[2]) {
    case 'A':
      source.codecKind = kCodecAvc;
      source.unitExtractor = ReadNextAvcUnit;
      reader = ReadAvcIndex;
      break;
    case 'V':
      source.codecKind = kCodecVc1;
      source.unitExtractor = ReadNextUnit;
      reader = ReadVc1Index;
      break;
    case 'M':
      source.codecKind = kCodecMpeg2;
      source.unitExtractor = ReadNextUnit;
      reader = ReadMpeg2Index;
      break;
    default: env->ThrowError("Orvanto: Invalid index file!");
  }
  const int code = reader(&source, indexPath);
  if (code != 0 && source.indexFile) {
    std::fclose(source.indexFile);
    source.indexFile = nullptr;
  }
  if (const char* text = IndexErrorText(code)) env->ThrowError("%s", text);

  if (deinterlace > 0) env->ThrowError("Orvanto: Deinterlacing not yet supported.");
  if (source.softPulldown && deinterlace != 0)
    env->ThrowError("Orvanto: Stream has soft pulldown; deinterlace must be 0.");

  // The size in 64 bits: any int32 SIZ and CLIP values are representable there.
  const int64_t width = int64_t{source.codedWidth} - source.cropValues[0] - source.cropValues[1];
  const int64_t height = int64_t{source.codedHeight} - source.cropValues[2] - source.cropValues[3];
  // Planar 4:2:0 frames need even, positive sizes (the host refuses others at the
  // first frame), and a clip larger than the coded picture would show rows and
  // columns that no decoded picture fills: say so here with the index's numbers.
  if (width <= 0 || height <= 0 || (width & 1) || (height & 1) || width > source.codedWidth ||
      height > source.codedHeight)
    env->ThrowError("Orvanto: The index gives an unusable picture size of %lld x %lld.",
                    static_cast<long long>(width), static_cast<long long>(height));

  vi = VideoInfo{};
  vi.width = static_cast<int>(width);
  vi.height = static_cast<int>(height);
  vi.pixel_type = i420 ? VideoInfo::CS_I420 : VideoInfo::CS_YV12;
  vi.fps_numerator = static_cast<unsigned>(source.frameRateNum);
  vi.fps_denominator = static_cast<unsigned>(source.frameRateDen);
  vi.num_frames = source.displayFrameCount;
  vi.SetFieldBased(false);
  if (vi.num_frames <= 0) env->ThrowError("Orvanto: The index file lists no frames.");

  outPicture = static_cast<YV12Picture*>(std::calloc(1, sizeof(YV12Picture)));
  if (!outPicture) env->ThrowError("Orvanto: could not malloc YV12 picture structure!");
  repeatPicture = AllocYV12Picture(vi.height, vi.width);
  fieldPicture = AllocYV12Picture(vi.height, vi.width);
  if (!repeatPicture || !fieldPicture) env->ThrowError("Orvanto: could not allocate the scratch pictures!");
  pictures = std::make_unique<PictureSupply>(source, vi.width, vi.height);

  lastFrame = -1;
  source.inputEnded = 0;

  // Last: no thread runs until the clip is complete.
  StartWorker(&source);
}

// The worker ends first (abort its run, wait until it is idle, kill it, wait for
// its thread), so nothing below is freed under it.
VQMultiSource::~VQMultiSource() {
  StopWorker(&source);
  ResetDecoderWithParams(&source);
  ReleaseResources();
}

void VQMultiSource::ReleaseResources() {
  pictures.reset();
  ReleaseIndexData(&source);
  std::free(outPicture);
  outPicture = nullptr;
  FreeYV12Picture(repeatPicture);
  repeatPicture = nullptr;
  FreeYV12Picture(fieldPicture);
  fieldPicture = nullptr;
  if (user32Module) FreeLibrary(user32Module);
  user32Module = nullptr;
  // The event set and the worker's handle, those that were created; the
  // pipeline part closes its session when `source` goes.
  for (HANDLE* handle : {&source.abortEvent, &source.wantFrameEvent, &source.frameReadyEvent,
                         &source.frameConsumedEvent, &source.initDoneEvent, &source.killEvent,
                         &source.seekReadyEvent, &source.workerParams.goEvent, &source.runEndedEvent,
                         &source.workerThread}) {
    if (*handle) CloseHandle(*handle);
    *handle = nullptr;
  }
}

mfxStatus ResetDecoderWithParams(SourceDecoder* source) { return source->ResetDecoder(&source->params); }

#include "toolkit/tools/asbd_catalogue.h"

#include "toolkit/ca_audio_file_formats.h"
#include "toolkit/ca_ostype_text.h"
#include "toolkit/ca_stream_basic_description.h"

namespace {

constexpr std::size_t kLineSize = 512;

void printFileTypeLine(const CAAudioFileFormats::FileFormatInfo& info, std::FILE* out)
{
    char code[kCAStringForOSTypeSize];
    std::fprintf(out, "%s  %s", CAStringForOSType(info.mFileTypeID, code),
                 info.mFileTypeName ? info.mFileTypeName->c_str() : "(no name)");
    if (info.mExtensions && !info.mExtensions->empty()) {
        const char* separator = "  (";
        for (const CFString& extension : *info.mExtensions) {
            std::fprintf(out, "%s.%s", separator, extension.c_str());
            separator = " ";
        }
        std::fputs(")", out);
    }
    std::fputs("\n", out);
}

void printDataFormats(const CAAudioFileFormats::FileFormatInfo& info, std::FILE* out)
{
    char code[kCAStringForOSTypeSize];
    char line[kLineSize];
    for (SInt32 j = 0; j < info.mNumDataFormats; ++j) {
        const CAAudioFileFormats::DataFormatInfo& format = info.mDataFormats[j];
        std::fprintf(out, "    %s%s%s%s\n", CAStringForOSType(format.mFormatID, code), format.mReadable ? "  read" : "",
                     format.mWritable ? "  write" : "", format.mEitherEndianPCM ? "  either byte order" : "");
        for (SInt32 k = 0; k < format.mNumVariants; ++k) {
            const CAStreamBasicDescription variant(format.mVariants[k]);
            std::fprintf(out, "        %s\n", variant.AsString(line, sizeof line));
        }
    }
}

}  // namespace

int printFileTypes(std::FILE* out)
{
    CAAudioFileFormats& catalogue = *CAAudioFileFormats::Instance(true);
    for (SInt32 i = 0; i < catalogue.mNumFileFormats; ++i) {
        CAAudioFileFormats::FileFormatInfo& info = catalogue.mFileFormats[i];
        info.LoadDataFormats();
        printFileTypeLine(info, out);
        printDataFormats(info, out);
    }
    return catalogue.mNumFileFormats > 0 ? 0 : 1;
}

int printInferredFileType(const char* fileName, std::FILE* out)
{
    CAAudioFileFormats& catalogue = *CAAudioFileFormats::Instance();
    AudioFileTypeID fileType = 0;
    if (!catalogue.InferFileFormatFromFilename(fileName, fileType)) {
        std::fprintf(out, "%s: no writable file type has this extension\n", fileName);
        return 1;
    }
    std::fprintf(out, "%s: ", fileName);
    printFileTypeLine(*catalogue.FindFileFormat(fileType), out);
    CAStreamBasicDescription format;
    if (catalogue.InferDataFormatFromFileFormat(fileType, format)) {
        char line[kLineSize];
        std::fprintf(out, "  suggested data format: %s\n", format.AsString(line, sizeof line));
    }
    return 0;
}

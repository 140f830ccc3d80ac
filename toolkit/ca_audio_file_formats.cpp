#include "toolkit/ca_audio_file_formats.h"

#include <algorithm>
#include <climits>
#include <vector>

namespace {

// Reads a list answer: its byte size, then that many bytes. Keeps only what the host wrote, so a
// host that answers less than it announced cannot leave unwritten elements in the list.
template <typename T>
bool readList(AudioFileServices& host, AudioFileQuery query, const AudioFileTypeAndFormatID& specifier,
              std::vector<T>& out)
{
    UInt32 bytes = 0;
    if (host.getInfoSize(query, specifier, bytes) != 0)
        return false;
    std::vector<T> list(bytes / sizeof(T));
    UInt32 ioBytes = UInt32(list.size() * sizeof(T));
    if (host.getInfo(query, specifier, ioBytes, list.data()) != 0)
        return false;
    list.resize(std::min<std::size_t>(list.size(), ioBytes / sizeof(T)));
    out = std::move(list);
    return true;
}

SInt32 countOf(std::size_t size)
{
    return SInt32(std::min<std::size_t>(size, INT32_MAX));
}

bool contains(const std::vector<OSType>& list, OSType code)
{
    return std::find(list.begin(), list.end(), code) != list.end();
}

}  // namespace

CAAudioFileFormats* CAAudioFileFormats::sInstance = nullptr;

CAAudioFileFormats* CAAudioFileFormats::Instance(bool loadDataFormats)
{
    if (!sInstance)
        sInstance = new CAAudioFileFormats(loadDataFormats);
    return sInstance;
}

CAAudioFileFormats::CAAudioFileFormats(bool loadDataFormats, AudioFileServices& host)
{
    std::vector<AudioFileTypeID> fileTypes;
    if (!readList(host, kAudioFileGlobalInfo_WritableTypes, {}, fileTypes))
        return;
    const SInt32 count = countOf(fileTypes.size());
    mFileFormats = std::make_unique<FileFormatInfo[]>(std::size_t(count));
    mNumFileFormats = count;
    for (SInt32 i = 0; i < count; ++i) {
        FileFormatInfo& info = mFileFormats[i];
        info.mHost = &host;
        info.mFileTypeID = fileTypes[i];
        CFString name;
        if (host.getFileTypeName(info.mFileTypeID, name) == 0)
            info.mFileTypeName = std::move(name);
        CFStringArray extensions;
        if (host.getFileTypeExtensions(info.mFileTypeID, extensions) == 0)
            info.mExtensions = std::move(extensions);
        if (loadDataFormats)
            info.LoadDataFormats();
    }
    // std::sort is not stable: records with equal names end in no particular order.
    std::sort(mFileFormats.get(), mFileFormats.get() + count, [](const FileFormatInfo& a, const FileFormatInfo& b) {
        if (!a.mFileTypeName || !b.mFileTypeName)
            return a.mFileTypeName.has_value() && !b.mFileTypeName.has_value();
        return CFStringCompare(*a.mFileTypeName, *b.mFileTypeName, kCFCompareCaseInsensitive | kCFCompareLocalized) ==
               kCFCompareLessThan;
    });
}

void CAAudioFileFormats::FileFormatInfo::LoadDataFormats()
{
    if (mDataFormats || !mHost)
        return;
    std::vector<AudioFormatID> encoders, decoders, formatIDs;
    if (!readList(*mHost, kAudioFormatProperty_EncodeFormatIDs, {}, encoders) ||
        !readList(*mHost, kAudioFormatProperty_DecodeFormatIDs, {}, decoders))
        return;
    if (!readList(*mHost, kAudioFileGlobalInfo_AvailableFormatIDs, {mFileTypeID, 0}, formatIDs))
        return;

    const SInt32 count = countOf(formatIDs.size());
    mDataFormats = std::make_unique<DataFormatInfo[]>(std::size_t(count));
    mNumDataFormats = count;
    for (SInt32 j = 0; j < count; ++j) {
        DataFormatInfo& entry = mDataFormats[j];
        entry.mFormatID = formatIDs[j];
        entry.mReadable = entry.mWritable = entry.mFormatID == kAudioFormatLinearPCM;
        if (contains(decoders, entry.mFormatID))
            entry.mReadable = true;
        if (contains(encoders, entry.mFormatID))
            entry.mWritable = true;

        std::vector<AudioStreamBasicDescription> variants;
        if (!readList(*mHost, kAudioFileGlobalInfo_AvailableStreamDescriptionsForFormat, {mFileTypeID, entry.mFormatID},
                      variants))
            continue;
        entry.mNumVariants = countOf(variants.size());
        entry.mVariants = std::make_unique<AudioStreamBasicDescription[]>(std::size_t(entry.mNumVariants));
        std::copy_n(variants.begin(), entry.mNumVariants, entry.mVariants.get());

        bool sawBig = false, sawLittle = false;
        for (const AudioStreamBasicDescription& variant : variants) {
            if (variant.mBitsPerChannel <= 8)
                continue;
            (variant.mFormatFlags & kAudioFormatFlagIsBigEndian ? sawBig : sawLittle) = true;
        }
        entry.mEitherEndianPCM = sawBig && sawLittle;
    }
}

bool CAAudioFileFormats::FileFormatInfo::AnyWritableFormats()
{
    LoadDataFormats();
    for (SInt32 j = 0; j < mNumDataFormats; ++j)
        if (mDataFormats[j].mWritable)
            return true;
    return false;
}

bool CAAudioFileFormats::FileFormatInfo::MatchExtension(const CFString& extension) const
{
    if (!mExtensions)
        return false;
    for (const CFString& candidate : *mExtensions)
        if (CFStringCompare(extension, candidate, kCFCompareCaseInsensitive) == kCFCompareEqualTo)
            return true;
    return false;
}

CAAudioFileFormats::FileFormatInfo* CAAudioFileFormats::FindFileFormat(AudioFileTypeID fileType)
{
    for (SInt32 i = 0; i < mNumFileFormats; ++i)
        if (mFileFormats[i].mFileTypeID == fileType)
            return &mFileFormats[i];
    return nullptr;
}

bool CAAudioFileFormats::InferFileFormatFromFilename(const CFString& fileName, AudioFileTypeID& outFileType)
{
    const std::size_t dot = fileName.findLast('.');
    if (dot == std::string::npos)
        return false;
    const CFString extension = fileName.substringFrom(dot + 1);
    for (SInt32 i = 0; i < mNumFileFormats; ++i) {
        if (mFileFormats[i].MatchExtension(extension)) {
            outFileType = mFileFormats[i].mFileTypeID;
            return true;
        }
    }
    return false;
}

bool CAAudioFileFormats::InferFileFormatFromFilename(const char* fileName, AudioFileTypeID& outFileType)
{
    const std::optional<CFString> name = CFString::fromUTF8(fileName);
    return name && InferFileFormatFromFilename(*name, outFileType);
}

bool CAAudioFileFormats::InferFileFormatFromDataFormat(const AudioStreamBasicDescription& format,
                                                       AudioFileTypeID& outFileType)
{
    const FileFormatInfo* found = nullptr;
    for (SInt32 i = 0; i < mNumFileFormats; ++i) {
        FileFormatInfo& info = mFileFormats[i];
        info.LoadDataFormats();
        for (SInt32 j = 0; j < info.mNumDataFormats; ++j) {
            if (info.mDataFormats[j].mFormatID != format.mFormatID)
                continue;
            if (found)
                return false;  // only a unique holder identifies the file type
            found = &info;
        }
    }
    if (!found)
        return false;
    outFileType = found->mFileTypeID;
    return true;
}

bool CAAudioFileFormats::InferDataFormatFromFileFormat(AudioFileTypeID fileType, AudioStreamBasicDescription& outFormat)
{
    for (SInt32 i = 0; i < mNumFileFormats; ++i) {
        FileFormatInfo& info = mFileFormats[i];
        info.LoadDataFormats();
        if (info.mFileTypeID != fileType || info.mNumDataFormats <= 0)
            continue;

        const DataFormatInfo* chosen = &info.mDataFormats[0];
        if (info.mNumDataFormats > 1) {
            for (SInt32 j = 0; j < info.mNumDataFormats; ++j) {
                if (info.mDataFormats[j].mFormatID == kAudioFormatLinearPCM) {
                    chosen = &info.mDataFormats[j];
                    break;
                }
            }
        }
        outFormat = AudioStreamBasicDescription{};
        outFormat.mFormatID = chosen->mFormatID;
        if (chosen->mNumVariants > 0 && chosen->mVariants) {
            outFormat = chosen->mVariants[0];
            if (chosen->mFormatID == kAudioFormatLinearPCM && chosen->mNumVariants >= 2) {
                for (SInt32 k = 0; k < chosen->mNumVariants; ++k) {
                    if (chosen->mVariants[k].mBitsPerChannel == 16) {
                        outFormat = chosen->mVariants[k];
                        break;
                    }
                }
            }
        }
        return true;
    }
    return false;
}

bool CAAudioFileFormats::IsKnownDataFormat(AudioFormatID formatID)
{
    for (SInt32 i = 0; i < mNumFileFormats; ++i) {
        FileFormatInfo& info = mFileFormats[i];
        info.LoadDataFormats();
        for (SInt32 j = 0; j < info.mNumDataFormats; ++j)
            if (info.mDataFormats[j].mFormatID == formatID)
                return true;
    }
    return false;
}

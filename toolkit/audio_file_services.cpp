#include "toolkit/audio_file_services.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace {

struct DataFormat {
    AudioFormatID id = 0;
    std::vector<AudioStreamBasicDescription> variants;
};

struct FileType {
    AudioFileTypeID code = 0;
    CFString name;
    CFStringArray extensions;
    std::vector<DataFormat> formats;
    std::vector<AudioFormatID> formatIDs;  // the ids of `formats`, as 'fmid' answers them
};

constexpr OSType charCode(char a, char b, int value)
{
    return (OSType(std::uint8_t(a)) << 24) | (OSType(std::uint8_t(b)) << 16) | (OSType(value) & 0xFFFF);
}

AudioFileTypeID fileTypeCode(int major)
{
    switch (major) {
    case SF_FORMAT_WAV: return fourCharCode("WAVE");
    case SF_FORMAT_AIFF: return fourCharCode("AIFF");
    case SF_FORMAT_AU: return fourCharCode(".snd");
    case SF_FORMAT_RAW: return fourCharCode("raw ");
    case SF_FORMAT_PAF: return fourCharCode(" paf");
    case SF_FORMAT_SVX: return fourCharCode("8SVX");
    case SF_FORMAT_NIST: return fourCharCode("NIST");
    case SF_FORMAT_VOC: return fourCharCode("VOC ");
    case SF_FORMAT_IRCAM: return fourCharCode("IRCM");
    case SF_FORMAT_W64: return fourCharCode("W64 ");
    case SF_FORMAT_MAT4: return fourCharCode("MAT4");
    case SF_FORMAT_MAT5: return fourCharCode("MAT5");
    case SF_FORMAT_PVF: return fourCharCode("PVF1");
    case SF_FORMAT_XI: return fourCharCode("XI  ");
    case SF_FORMAT_HTK: return fourCharCode("HTK ");
    case SF_FORMAT_SDS: return fourCharCode("SDS ");
    case SF_FORMAT_AVR: return fourCharCode("2BIT");
    case SF_FORMAT_WAVEX: return fourCharCode("WAVX");
    case SF_FORMAT_SD2: return fourCharCode("Sd2f");
    case SF_FORMAT_FLAC: return fourCharCode("fLaC");
    case SF_FORMAT_CAF: return fourCharCode("caff");
    case SF_FORMAT_WVE: return fourCharCode("ALaw");
    case SF_FORMAT_OGG: return fourCharCode("OggS");
    case SF_FORMAT_MPC2K: return fourCharCode("MPC2");
    case SF_FORMAT_RF64: return fourCharCode("RF64");
    case SF_FORMAT_MPEG: return fourCharCode("MPEG");
    default: return charCode('s', 'f', major >> 16);
    }
}

std::vector<const char*> alternateExtensions(int major)
{
    switch (major) {
    case SF_FORMAT_AIFF: return {"aif", "aifc"};
    case SF_FORMAT_AU: return {"snd"};
    case SF_FORMAT_OGG: return {"ogg", "opus"};
    case SF_FORMAT_NIST: return {"nist", "sph"};
    case SF_FORMAT_MPEG: return {"mp3", "mp2", "mp1"};
    default: return {};
    }
}

bool isLinearPCM(int subtype)
{
    switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE: return true;
    default: return false;
    }
}

// The encoding a subtype stands for; inside a FLAC container the "PCM" subtypes are FLAC's.
AudioFormatID dataFormatID(int major, int subtype)
{
    if (isLinearPCM(subtype))
        return major == SF_FORMAT_FLAC ? fourCharCode("flac") : kAudioFormatLinearPCM;
    switch (subtype) {
    case SF_FORMAT_ULAW: return fourCharCode("ulaw");
    case SF_FORMAT_ALAW: return fourCharCode("alaw");
    case SF_FORMAT_IMA_ADPCM: return fourCharCode("ima4");
    case SF_FORMAT_MS_ADPCM: return fourCharCode("msad");
    case SF_FORMAT_GSM610: return fourCharCode("agsm");
    case SF_FORMAT_VOX_ADPCM: return fourCharCode("vox ");
    case SF_FORMAT_NMS_ADPCM_16: return fourCharCode("nm16");
    case SF_FORMAT_NMS_ADPCM_24: return fourCharCode("nm24");
    case SF_FORMAT_NMS_ADPCM_32: return fourCharCode("nm32");
    case SF_FORMAT_G721_32: return fourCharCode("g721");
    case SF_FORMAT_G723_24: return fourCharCode("g723");
    case SF_FORMAT_G723_40: return fourCharCode("g740");
    case SF_FORMAT_DWVW_12: return fourCharCode("dw12");
    case SF_FORMAT_DWVW_16: return fourCharCode("dw16");
    case SF_FORMAT_DWVW_24: return fourCharCode("dw24");
    case SF_FORMAT_DWVW_N: return fourCharCode("dwvn");
    case SF_FORMAT_DPCM_8: return fourCharCode("dp08");
    case SF_FORMAT_DPCM_16: return fourCharCode("dp16");
    case SF_FORMAT_VORBIS: return fourCharCode("vorb");
    case SF_FORMAT_OPUS: return fourCharCode("opus");
    case SF_FORMAT_ALAC_16:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24:
    case SF_FORMAT_ALAC_32: return kAudioFormatAppleLossless;
    case SF_FORMAT_MPEG_LAYER_I: return fourCharCode(".mp1");
    case SF_FORMAT_MPEG_LAYER_II: return fourCharCode(".mp2");
    case SF_FORMAT_MPEG_LAYER_III: return fourCharCode(".mp3");
    default: return charCode('s', 't', subtype);
    }
}

// An in-memory file for libsndfile's virtual I/O, so probing writes nothing to disk.
struct MemoryFile {
    std::vector<unsigned char> bytes;
    sf_count_t position = 0;

    static MemoryFile& of(void* user) { return *static_cast<MemoryFile*>(user); }
    static sf_count_t length(void* user) { return sf_count_t(of(user).bytes.size()); }
    static sf_count_t seek(sf_count_t offset, int whence, void* user)
    {
        MemoryFile& file = of(user);
        const sf_count_t base = whence == SEEK_CUR   ? file.position
                                : whence == SEEK_END ? sf_count_t(file.bytes.size())
                                                     : 0;
        file.position = std::max<sf_count_t>(0, base + offset);
        return file.position;
    }
    static sf_count_t read(void* out, sf_count_t count, void* user)
    {
        MemoryFile& file = of(user);
        const sf_count_t size = sf_count_t(file.bytes.size());
        const sf_count_t n = std::clamp<sf_count_t>(size - file.position, 0, std::max<sf_count_t>(count, 0));
        if (n > 0)
            std::memcpy(out, file.bytes.data() + file.position, std::size_t(n));
        file.position += n;
        return n;
    }
    static sf_count_t write(const void* in, sf_count_t count, void* user)
    {
        MemoryFile& file = of(user);
        if (count <= 0)
            return 0;
        const std::size_t end = std::size_t(file.position + count);
        if (end > file.bytes.size())
            file.bytes.resize(end);
        std::memcpy(file.bytes.data() + file.position, in, std::size_t(count));
        file.position += count;
        return count;
    }
    static sf_count_t tell(void* user) { return of(user).position; }
};

// Which formats libsndfile really writes. sf_format_check accepts a few it cannot (12-bit DWVW in
// AIFF, MPEG layers I and II, layer III in WAV), so every format it accepts is tried by writing a
// few frames to memory. Building the catalogue asks about most formats more than once; each is
// tried once.
class WriteTrials {
public:
    bool writes(int format) { return trial(format).writes; }
    // Whether the sample words go out big-endian; for `format` without byte order bits, that is
    // the container's own order as libsndfile writes it.
    bool writesBigEndian(int format) { return trial(format).bigEndian; }

private:
    struct Trial {
        bool writes = false;
        bool bigEndian = false;
    };

    // Opus takes only 8, 12, 16, 24 and 48 kHz; every other encoding takes 48 kHz too.
    static constexpr int kSampleRateHz = 48000;
    static constexpr sf_count_t kFrames = 64;

    static Trial attempt(int format)
    {
        SF_INFO info{};
        info.samplerate = kSampleRateHz;
        info.channels = 1;
        info.format = format;
        if (sf_format_check(&info) != SF_TRUE)
            return {};
        // SD2 keeps part of the file in a resource fork, which libsndfile writes as a second file
        // beside the named one; a file in memory has no name, so a trial would create "._" in the
        // working directory. SD2 is taken on the check's word; it is always big-endian.
        if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_SD2)
            return {true, true};
        MemoryFile file;
        SF_VIRTUAL_IO io{&MemoryFile::length, &MemoryFile::seek, &MemoryFile::read, &MemoryFile::write,
                         &MemoryFile::tell};
        SNDFILE* sound = sf_open_virtual(&io, SFM_WRITE, &info, &file);
        if (!sound)
            return {};
        const bool swapped = sf_command(sound, SFC_RAW_DATA_NEEDS_ENDSWAP, nullptr, 0) == SF_TRUE;
        const std::array<short, kFrames> silence{};
        const bool written = sf_writef_short(sound, silence.data(), kFrames) == kFrames;
        const bool closed = sf_close(sound) == 0;
        return {written && closed, swapped == (std::endian::native == std::endian::little)};
    }

    const Trial& trial(int format)
    {
        auto found = mTrials.find(format);
        if (found == mTrials.end())
            found = mTrials.emplace(format, attempt(format)).first;
        return found->second;
    }

    std::unordered_map<int, Trial> mTrials;
};

AudioStreamBasicDescription variantRecord(AudioFormatID id, AudioFormatFlags flags, UInt32 bits,
                                          UInt32 framesPerPacket = 1)
{
    AudioStreamBasicDescription record{};
    record.mFormatID = id;
    record.mFormatFlags = flags;
    record.mFramesPerPacket = framesPerPacket;
    record.mBitsPerChannel = bits;
    return record;
}

void addLinearPCMVariants(int major, int subtype, WriteTrials& trials,
                          std::vector<AudioStreamBasicDescription>& variants)
{
    UInt32 bits = 0;
    AudioFormatFlags flags = kAudioFormatFlagIsPacked | kAudioFormatFlagIsSignedInteger;
    switch (subtype) {
    case SF_FORMAT_PCM_S8: bits = 8; break;
    case SF_FORMAT_PCM_U8: bits = 8, flags = kAudioFormatFlagIsPacked; break;
    case SF_FORMAT_PCM_16: bits = 16; break;
    case SF_FORMAT_PCM_24: bits = 24; break;
    case SF_FORMAT_PCM_32: bits = 32; break;
    case SF_FORMAT_FLOAT: bits = 32, flags = kAudioFormatFlagIsPacked | kAudioFormatFlagIsFloat; break;
    case SF_FORMAT_DOUBLE: bits = 64, flags = kAudioFormatFlagIsPacked | kAudioFormatFlagIsFloat; break;
    }
    if (bits == 8) {
        variants.push_back(variantRecord(kAudioFormatLinearPCM, flags, bits));
        return;
    }
    const bool little = trials.writes(major | subtype | SF_ENDIAN_LITTLE);
    const bool big = trials.writes(major | subtype | SF_ENDIAN_BIG);
    const bool bigFirst = little == big ? trials.writesBigEndian(major | subtype) : big;
    const auto add = [&](bool bigEndian) {
        variants.push_back(
            variantRecord(kAudioFormatLinearPCM, flags | (bigEndian ? kAudioFormatFlagIsBigEndian : 0), bits));
    };
    if (little && big) {
        add(bigFirst);
        add(!bigFirst);
    } else {
        add(bigFirst);  // one explicit order, or only the container's own
    }
}

// Compressed encodings leave frames per packet 0: their packet sizes depend on the container and
// settings. Companded samples are one 8-bit word per frame and channel.
AudioStreamBasicDescription otherVariant(AudioFormatID id, int subtype)
{
    switch (subtype) {
    case SF_FORMAT_PCM_S8: return variantRecord(id, 0, 8, 0);  // FLAC's source depths
    case SF_FORMAT_PCM_16: return variantRecord(id, 0, 16, 0);
    case SF_FORMAT_PCM_24: return variantRecord(id, 0, 24, 0);
    case SF_FORMAT_PCM_32: return variantRecord(id, 0, 32, 0);
    case SF_FORMAT_ALAC_16: return variantRecord(id, 1, 0, 0);
    case SF_FORMAT_ALAC_20: return variantRecord(id, 2, 0, 0);
    case SF_FORMAT_ALAC_24: return variantRecord(id, 3, 0, 0);
    case SF_FORMAT_ALAC_32: return variantRecord(id, 4, 0, 0);
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW: return variantRecord(id, 0, 8, 1);
    default: return variantRecord(id, 0, 0, 0);
    }
}

CFString textOf(const char* text)
{
    return CFString::fromUTF8(text).value_or(CFString::fromBytesLossy(text ? text : ""));
}

void appendUnique(std::vector<OSType>& list, OSType code)
{
    if (std::find(list.begin(), list.end(), code) == list.end())
        list.push_back(code);
}

class SndfileAudioFileServices final : public AudioFileServices {
public:
    SndfileAudioFileServices();

    OSStatus getInfoSize(AudioFileQuery query, const AudioFileTypeAndFormatID& specifier, UInt32& outBytes) override
    {
        const void* data;
        UInt32 bytes;
        const OSStatus status = answer(query, specifier, data, bytes);
        if (status == 0)
            outBytes = bytes;
        return status;
    }

    OSStatus getInfo(AudioFileQuery query, const AudioFileTypeAndFormatID& specifier, UInt32& ioBytes,
                     void* outData) override
    {
        const void* data;
        UInt32 bytes;
        const OSStatus status = answer(query, specifier, data, bytes);
        if (status != 0)
            return status;
        const UInt32 element = query == kAudioFileGlobalInfo_AvailableStreamDescriptionsForFormat
                                   ? UInt32(sizeof(AudioStreamBasicDescription))
                                   : UInt32(sizeof(OSType));
        const UInt32 copied = std::min(ioBytes, bytes) / element * element;
        if (copied > 0)
            std::memcpy(outData, data, copied);
        ioBytes = copied;
        return 0;
    }

    OSStatus getFileTypeName(AudioFileTypeID fileType, CFString& outName) override
    {
        const FileType* type = find(fileType);
        if (!type)
            return kAudioFileUnsupportedFileTypeError;
        outName = type->name;
        return 0;
    }

    OSStatus getFileTypeExtensions(AudioFileTypeID fileType, CFStringArray& outExtensions) override
    {
        const FileType* type = find(fileType);
        if (!type)
            return kAudioFileUnsupportedFileTypeError;
        outExtensions = type->extensions;
        return 0;
    }

private:
    const FileType* find(AudioFileTypeID code) const
    {
        for (const FileType& type : mTypes)
            if (type.code == code)
                return &type;
        return nullptr;
    }

    template <typename T> static OSStatus list(const std::vector<T>& items, const void*& data, UInt32& bytes)
    {
        data = items.data();
        bytes = UInt32(items.size() * sizeof(T));
        return 0;
    }

    OSStatus answer(AudioFileQuery query, const AudioFileTypeAndFormatID& specifier, const void*& data,
                    UInt32& bytes) const
    {
        switch (query) {
        case kAudioFileGlobalInfo_WritableTypes: return list(mWritableTypes, data, bytes);
        case kAudioFormatProperty_EncodeFormatIDs: return list(mEncodeFormats, data, bytes);
        case kAudioFormatProperty_DecodeFormatIDs: return list(mDecodeFormats, data, bytes);
        case kAudioFileGlobalInfo_AvailableFormatIDs:
            if (const FileType* type = find(specifier.mFileType))
                return list(type->formatIDs, data, bytes);
            return kAudioFileUnsupportedFileTypeError;
        case kAudioFileGlobalInfo_AvailableStreamDescriptionsForFormat: {
            const FileType* type = find(specifier.mFileType);
            if (!type)
                return kAudioFileUnsupportedFileTypeError;
            for (const DataFormat& format : type->formats)
                if (format.id == specifier.mFormatID)
                    return list(format.variants, data, bytes);
            return kAudioFileUnsupportedDataFormatError;
        }
        default: return kAudioFileUnsupportedPropertyError;
        }
    }

    std::vector<FileType> mTypes;
    std::vector<OSType> mWritableTypes, mEncodeFormats, mDecodeFormats;
};

SndfileAudioFileServices::SndfileAudioFileServices()
{
    int majorCount = 0, subtypeCount = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majorCount, sizeof majorCount);
    sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &subtypeCount, sizeof subtypeCount);

    std::vector<SF_FORMAT_INFO> subtypes;
    for (int i = 0; i < subtypeCount; ++i) {
        SF_FORMAT_INFO subtype{};
        subtype.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &subtype, sizeof subtype) == 0)
            subtypes.push_back(subtype);
    }

    WriteTrials trials;
    for (int i = 0; i < majorCount; ++i) {
        SF_FORMAT_INFO major{};
        major.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &major, sizeof major) != 0)
            continue;
        FileType type;
        type.code = fileTypeCode(major.format);
        type.name = textOf(major.name);
        if (major.extension && *major.extension)
            type.extensions.push_back(textOf(major.extension));
        for (const char* alternate : alternateExtensions(major.format)) {
            CFString extension = textOf(alternate);
            if (std::find(type.extensions.begin(), type.extensions.end(), extension) == type.extensions.end())
                type.extensions.push_back(std::move(extension));
        }
        for (const SF_FORMAT_INFO& subtype : subtypes) {
            const int format = major.format | subtype.format;
            if (!trials.writes(format) && !trials.writes(format | SF_ENDIAN_LITTLE) &&
                !trials.writes(format | SF_ENDIAN_BIG))
                continue;
            const AudioFormatID id = dataFormatID(major.format, subtype.format);
            auto entry = std::find_if(type.formats.begin(), type.formats.end(),
                                      [id](const DataFormat& f) { return f.id == id; });
            if (entry == type.formats.end()) {
                type.formats.push_back(DataFormat{id, {}});
                type.formatIDs.push_back(id);
                entry = type.formats.end() - 1;
            }
            if (id == kAudioFormatLinearPCM)
                addLinearPCMVariants(major.format, subtype.format, trials, entry->variants);
            else
                entry->variants.push_back(otherVariant(id, subtype.format));
            appendUnique(mEncodeFormats, id);
        }
        if (type.formats.empty())
            continue;  // libsndfile reads it but cannot write it
        mWritableTypes.push_back(type.code);
        mTypes.push_back(std::move(type));
    }

    mDecodeFormats = mEncodeFormats;
    for (const SF_FORMAT_INFO& subtype : subtypes)
        appendUnique(mDecodeFormats, dataFormatID(0, subtype.format));
}

}  // namespace

AudioFileServices& defaultAudioFileServices()
{
    static SndfileAudioFileServices services;
    return services;
}

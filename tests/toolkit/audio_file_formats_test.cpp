#include "toolkit/ca_audio_file_formats.h"
#include "toolkit/ca_ostype_text.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr OSType kLPCM = kAudioFormatLinearPCM;
constexpr OSType kULaw = fourCharCode("ulaw");
constexpr OSType kAAC = fourCharCode("aac ");
constexpr AudioFormatFlags kBE = kAudioFormatFlagIsBigEndian;

AudioStreamBasicDescription pcm(UInt32 bits, AudioFormatFlags flags)
{
    AudioStreamBasicDescription d{};
    d.mFormatID = kLPCM;
    d.mFormatFlags = flags | kAudioFormatFlagIsPacked | kAudioFormatFlagIsSignedInteger;
    d.mFramesPerPacket = 1;
    d.mBitsPerChannel = bits;
    return d;
}

AudioStreamBasicDescription coded(AudioFormatID id)
{
    AudioStreamBasicDescription d{};
    d.mFormatID = id;
    return d;
}

// Serves the catalogue's queries from tables, with switches to make each one fail.
struct TableHost : AudioFileServices {
    struct Type {
        OSType code;
        std::optional<std::string> name;                     // nullopt: 'ftnm' fails
        std::optional<std::vector<std::string>> extensions;  // nullopt: 'fext' fails
        std::vector<OSType> formats;
        std::map<OSType, std::vector<AudioStreamBasicDescription>> variants;  // missing: 'sdid' size fails
        std::set<OSType> unreadableVariants;  // 'sdid' size answers, the list read fails
        int fmidFailures = 0;                 // 'fmid' fails this many times, then answers
    };
    std::vector<Type> types;
    std::vector<OSType> encoders{kLPCM}, decoders{kLPCM};
    bool writableSizeFails = false, writableListFails = false, encodersFail = false;
    int fmidCalls = 0;

    Type* find(OSType code)
    {
        for (Type& t : types)
            if (t.code == code)
                return &t;
        return nullptr;
    }

    // The answer of a list query as bytes; false when the query fails.
    bool answer(AudioFileQuery query, const AudioFileTypeAndFormatID& spec, bool forRead, std::vector<char>& out)
    {
        const auto bytesOf = [&out](const auto& list) {
            out.resize(list.size() * sizeof(list[0]));
            if (!list.empty())
                std::memcpy(out.data(), list.data(), out.size());
            return true;
        };
        switch (query) {
        case kAudioFileGlobalInfo_WritableTypes: {
            if (writableSizeFails || (forRead && writableListFails))
                return false;
            std::vector<OSType> codes;
            for (const Type& t : types)
                codes.push_back(t.code);
            return bytesOf(codes);
        }
        case kAudioFormatProperty_EncodeFormatIDs: return !encodersFail && bytesOf(encoders);
        case kAudioFormatProperty_DecodeFormatIDs: return bytesOf(decoders);
        case kAudioFileGlobalInfo_AvailableFormatIDs: {
            Type* t = find(spec.mFileType);
            if (!t)
                return false;
            if (!forRead) {
                ++fmidCalls;
                if (t->fmidFailures > 0 && t->fmidFailures--)
                    return false;
            }
            return bytesOf(t->formats);
        }
        case kAudioFileGlobalInfo_AvailableStreamDescriptionsForFormat: {
            Type* t = find(spec.mFileType);
            if (!t || !t->variants.count(spec.mFormatID))
                return false;
            if (forRead && t->unreadableVariants.count(spec.mFormatID))
                return false;
            return bytesOf(t->variants[spec.mFormatID]);
        }
        default: return false;
        }
    }

    OSStatus getInfoSize(AudioFileQuery query, const AudioFileTypeAndFormatID& spec, UInt32& outBytes) override
    {
        std::vector<char> bytes;
        if (!answer(query, spec, false, bytes))
            return -1;
        outBytes = UInt32(bytes.size());
        return 0;
    }
    OSStatus getInfo(AudioFileQuery query, const AudioFileTypeAndFormatID& spec, UInt32& ioBytes, void* out) override
    {
        std::vector<char> bytes;
        if (!answer(query, spec, true, bytes))
            return -1;
        ioBytes = std::min<UInt32>(ioBytes, UInt32(bytes.size()));
        if (ioBytes > 0)
            std::memcpy(out, bytes.data(), ioBytes);
        return 0;
    }
    OSStatus getFileTypeName(AudioFileTypeID code, CFString& out) override
    {
        Type* t = find(code);
        if (!t || !t->name)
            return -1;
        out = *CFString::fromUTF8(*t->name);
        return 0;
    }
    OSStatus getFileTypeExtensions(AudioFileTypeID code, CFStringArray& out) override
    {
        Type* t = find(code);
        if (!t || !t->extensions)
            return -1;
        out.clear();
        for (const std::string& e : *t->extensions)
            out.push_back(*CFString::fromUTF8(e));
        return 0;
    }
};

std::vector<OSType> order(const CAAudioFileFormats& c)
{
    std::vector<OSType> codes;
    for (SInt32 i = 0; i < c.mNumFileFormats; ++i)
        codes.push_back(c.mFileFormats[i].mFileTypeID);
    return codes;
}

// Three types that cover the inference rules: linear PCM in two of them, 'ulaw' in one.
TableHost threeTypes()
{
    TableHost host;
    host.types = {
        {fourCharCode("WAVE"),
         "wave",
         {{"wav"}},
         {kULaw, kLPCM},
         {{kLPCM, {pcm(24, 0), pcm(16, 0), pcm(16, kBE)}}, {kULaw, {coded(kULaw)}}},
         {},
         0},
        {fourCharCode("AIFF"), "aiff", {{"aiff", "aif"}}, {kLPCM}, {{kLPCM, {pcm(8, 0)}}}, {}, 0},
        {fourCharCode("adts"), "Caf", {{"aac"}}, {kAAC}, {{kAAC, {}}}, {}, 0},
    };
    host.decoders = {kULaw, kAAC};
    host.encoders = {kAAC};
    return host;
}

TEST(CatalogueBuilding, SortsByNameIgnoringCaseWithNamelessLast)
{
    TableHost host = threeTypes();
    host.types.insert(host.types.begin(), {fourCharCode("anon"), std::nullopt, std::nullopt, {}, {}, {}, 0});
    CAAudioFileFormats catalogue(false, host);
    EXPECT_EQ(order(catalogue), (std::vector<OSType>{fourCharCode("AIFF"), fourCharCode("adts"), fourCharCode("WAVE"),
                                                     fourCharCode("anon")}));
    const auto* anon = catalogue.FindFileFormat(fourCharCode("anon"));
    ASSERT_NE(anon, nullptr);
    EXPECT_FALSE(anon->mFileTypeName);
    EXPECT_FALSE(anon->mExtensions);
    EXPECT_FALSE(anon->MatchExtension(*CFString::fromUTF8("")));
    EXPECT_FALSE(anon->mDataFormats) << "built without data formats";
}

TEST(CatalogueBuilding, UnavailableFileTypeListGivesEmptyCatalogue)
{
    for (const bool sizeFails : {true, false}) {
        TableHost host = threeTypes();
        host.writableSizeFails = sizeFails;
        host.writableListFails = !sizeFails;
        CAAudioFileFormats catalogue(true, host);
        EXPECT_EQ(catalogue.mNumFileFormats, 0);
        EXPECT_FALSE(catalogue.mFileFormats);
        AudioFileTypeID type = 7;
        EXPECT_FALSE(catalogue.InferFileFormatFromFilename("a.wav", type));
        EXPECT_FALSE(catalogue.IsKnownDataFormat(kLPCM));
        EXPECT_EQ(type, 7u);
    }
}

TEST(ExtensionInference, Cases)
{
    TableHost host = threeTypes();
    // Shares "wav" with 'WAVE', but "Beta" sorts before "wave"; "" matches a trailing dot.
    host.types.push_back({fourCharCode("BETA"), "Beta", {{"WAV", ""}}, {}, {}, {}, 0});
    CAAudioFileFormats catalogue(false, host);
    const AudioFileTypeID untouched = fourCharCode("none");
    const std::vector<std::tuple<const char*, bool, AudioFileTypeID>> cases = {
        {"song.wav", true, fourCharCode("BETA")}, {"/x/SONG.Aif", true, fourCharCode("AIFF")},
        {"a.b.aiff", true, fourCharCode("AIFF")}, {"trailing.", true, fourCharCode("BETA")},
        {"/dir.aif/file", false, untouched},      {"noextension", false, untouched},
        {".aac", true, fourCharCode("adts")},     {"x.flac", false, untouched},
        {"bad\xff.wav", false, untouched},        {nullptr, false, untouched},
    };
    for (const auto& [name, found, expected] : cases) {
        AudioFileTypeID type = untouched;
        EXPECT_EQ(catalogue.InferFileFormatFromFilename(name, type), found) << (name ? name : "(null)");
        EXPECT_EQ(type, expected) << (name ? name : "(null)");
    }
}

TEST(DataFormatInference, UniqueHolderOnly)
{
    TableHost host = threeTypes();
    host.types.push_back({fourCharCode("DUPE"), "dupe", {{}}, {fourCharCode("dup "), fourCharCode("dup ")}, {}, {}, 0});
    CAAudioFileFormats catalogue(false, host);
    const std::vector<std::tuple<AudioFormatID, bool, AudioFileTypeID>> cases = {
        {kULaw, true, fourCharCode("WAVE")},
        {kAAC, true, fourCharCode("adts")},
        {kLPCM, false, 0},                 // in two file types
        {fourCharCode("dup "), false, 0},  // twice in one file type
        {fourCharCode("none"), false, 0},
    };
    for (const auto& [id, found, expected] : cases) {
        AudioFileTypeID type = 0;
        EXPECT_EQ(catalogue.InferFileFormatFromDataFormat(coded(id), type), found);
        EXPECT_EQ(type, expected);
    }
    EXPECT_TRUE(catalogue.IsKnownDataFormat(fourCharCode("dup ")));
    EXPECT_FALSE(catalogue.IsKnownDataFormat(fourCharCode("none")));
}

TEST(DataFormatSuggestion, PrefersLinearPCMAnd16Bits)
{
    TableHost host = threeTypes();
    host.types.push_back({fourCharCode("BARE"), "bare", {{}}, {kULaw}, {}, {}, 0});       // no variants
    host.types.push_back({fourCharCode("TWO "), "two", {{}}, {kAAC, kULaw}, {}, {}, 0});  // no 'lpcm'
    CAAudioFileFormats catalogue(false, host);
    const AudioStreamBasicDescription sentinel = coded(fourCharCode("sent"));

    AudioStreamBasicDescription out = sentinel;
    ASSERT_TRUE(catalogue.InferDataFormatFromFileFormat(fourCharCode("WAVE"), out));
    EXPECT_EQ(std::memcmp(&out, &host.types[0].variants[kLPCM][1], sizeof out), 0) << "first 16-bit variant";

    ASSERT_TRUE(catalogue.InferDataFormatFromFileFormat(fourCharCode("AIFF"), out));
    EXPECT_EQ(out.mBitsPerChannel, 8u) << "a single variant is taken whatever its depth";

    out = sentinel;
    ASSERT_TRUE(catalogue.InferDataFormatFromFileFormat(fourCharCode("BARE"), out));
    const AudioStreamBasicDescription onlyIdentifier = coded(kULaw);
    EXPECT_EQ(std::memcmp(&out, &onlyIdentifier, sizeof out), 0) << "only the identifier";

    ASSERT_TRUE(catalogue.InferDataFormatFromFileFormat(fourCharCode("TWO "), out));
    EXPECT_EQ(out.mFormatID, kAAC) << "first entry without linear PCM";

    out = sentinel;
    EXPECT_FALSE(catalogue.InferDataFormatFromFileFormat(fourCharCode("none"), out));
    EXPECT_EQ(out.mFormatID, sentinel.mFormatID);
}

TEST(DataFormatLoading, FlagsAndByteOrders)
{
    TableHost host = threeTypes();
    host.types.push_back(
        {fourCharCode("EIGH"), "eight", {{}}, {kLPCM}, {{kLPCM, {pcm(8, kBE), pcm(8, 0), pcm(16, 0)}}}, {}, 0});
    CAAudioFileFormats catalogue(true, host);

    const auto* wave = catalogue.FindFileFormat(fourCharCode("WAVE"));
    ASSERT_EQ(wave->mNumDataFormats, 2);
    const auto& ulaw = wave->mDataFormats[0];
    const auto& lpcm = wave->mDataFormats[1];
    EXPECT_EQ(ulaw.mFormatID, kULaw);
    EXPECT_TRUE(ulaw.mReadable);
    EXPECT_FALSE(ulaw.mWritable);
    EXPECT_TRUE(lpcm.mReadable && lpcm.mWritable) << "linear PCM though neither list names it";
    EXPECT_EQ(lpcm.mNumVariants, 3);
    EXPECT_TRUE(lpcm.mEitherEndianPCM);
    EXPECT_FALSE(catalogue.FindFileFormat(fourCharCode("EIGH"))->mDataFormats[0].mEitherEndianPCM)
        << "8-bit variants do not count";
    EXPECT_TRUE(catalogue.FindFileFormat(fourCharCode("adts"))->AnyWritableFormats());
    EXPECT_TRUE(catalogue.FindFileFormat(fourCharCode("adts"))->mDataFormats[0].mVariants)
        << "an empty variant list still arrives";
}

TEST(DataFormatLoading, FailedQueriesLeaveThePartEmpty)
{
    TableHost host = threeTypes();
    host.types[0].variants.erase(kULaw);             // 'sdid' size fails
    host.types[0].unreadableVariants.insert(kLPCM);  // 'sdid' list fails
    host.types[1].fmidFailures = 1;                  // 'fmid' fails once
    CAAudioFileFormats catalogue(true, host);

    const auto* wave = catalogue.FindFileFormat(fourCharCode("WAVE"));
    for (SInt32 j = 0; j < wave->mNumDataFormats; ++j) {
        EXPECT_EQ(wave->mDataFormats[j].mNumVariants, 0);
        EXPECT_FALSE(wave->mDataFormats[j].mVariants);
        EXPECT_FALSE(wave->mDataFormats[j].mEitherEndianPCM);
    }

    auto* aiff = catalogue.FindFileFormat(fourCharCode("AIFF"));
    EXPECT_FALSE(aiff->mDataFormats) << "still unloaded";
    EXPECT_EQ(aiff->mNumDataFormats, 0);
    const int calls = host.fmidCalls;
    AudioStreamBasicDescription out{};
    EXPECT_TRUE(catalogue.InferDataFormatFromFileFormat(fourCharCode("AIFF"), out)) << "retried on the visit";
    EXPECT_EQ(aiff->mNumDataFormats, 1);
    aiff->LoadDataFormats();
    EXPECT_EQ(host.fmidCalls, calls + 1) << "loaded records are not asked again";

    TableHost noEncoders = threeTypes();
    noEncoders.encodersFail = true;
    CAAudioFileFormats unloaded(true, noEncoders);
    EXPECT_EQ(noEncoders.fmidCalls, 0);
    EXPECT_FALSE(unloaded.IsKnownDataFormat(kLPCM));
    EXPECT_FALSE(unloaded.FindFileFormat(fourCharCode("WAVE"))->AnyWritableFormats());
}

TEST(DataFormatLoading, OnDemandAfterBuildingWithout)
{
    TableHost host = threeTypes();
    CAAudioFileFormats catalogue(false, host);
    EXPECT_EQ(host.fmidCalls, 0);
    EXPECT_TRUE(catalogue.IsKnownDataFormat(kAAC));
    EXPECT_TRUE(catalogue.FindFileFormat(fourCharCode("adts"))->mDataFormats);
}

// The product's catalogue, checked against what libsndfile itself reports.
struct Sndfile {
    // sf_format_check accepts these, but writing them fails.
    static constexpr int kUnwritable[] = {
        SF_FORMAT_AIFF | SF_FORMAT_DWVW_12,
        SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_I,
        SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_II,
        SF_FORMAT_WAV | SF_FORMAT_MPEG_LAYER_III,
    };

    static std::vector<SF_FORMAT_INFO> list(int countCommand, int itemCommand)
    {
        int count = 0;
        sf_command(nullptr, countCommand, &count, sizeof count);
        std::vector<SF_FORMAT_INFO> items(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            items[std::size_t(i)].format = i;
            sf_command(nullptr, itemCommand, &items[std::size_t(i)], sizeof items[0]);
        }
        return items;
    }
    static bool accepts(int format)
    {
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 1;
        info.format = format;
        return sf_format_check(&info);
    }
    static bool writes(int format)
    {
        const int pair = format & (SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK);
        return accepts(format) &&
               std::find(std::begin(kUnwritable), std::end(kUnwritable), pair) == std::end(kUnwritable);
    }
};

TEST(SndfileCatalogue, AnswersForThisMachine)
{
    CAAudioFileFormats* catalogue = CAAudioFileFormats::Instance(false);
    EXPECT_EQ(CAAudioFileFormats::Instance(true), catalogue);

    AudioFileTypeID type = 0;
    ASSERT_TRUE(catalogue->InferFileFormatFromFilename("x.WAV", type));
    EXPECT_EQ(type, fourCharCode("WAVE"));

    AudioStreamBasicDescription format{};
    ASSERT_TRUE(catalogue->InferDataFormatFromFileFormat(fourCharCode("WAVE"), format));
    EXPECT_EQ(format.mFormatID, kLPCM);
    EXPECT_EQ(format.mBitsPerChannel, 16u);
    EXPECT_EQ(format.mFormatFlags, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked) << "little-endian";
    ASSERT_TRUE(catalogue->InferDataFormatFromFileFormat(fourCharCode("AIFF"), format));
    EXPECT_TRUE(format.mFormatFlags & kBE) << "AIFF's own byte order first";

    EXPECT_TRUE(catalogue->IsKnownDataFormat(kLPCM));
    EXPECT_FALSE(catalogue->InferFileFormatFromDataFormat(coded(kLPCM), type)) << "several types hold it";
}

TEST(SndfileCatalogue, ListsOnlyWhatIsWritten)
{
    CAAudioFileFormats& catalogue = *CAAudioFileFormats::Instance();
    const auto holds = [&catalogue](AudioFileTypeID fileType, AudioFormatID formatID) {
        CAAudioFileFormats::FileFormatInfo* info = catalogue.FindFileFormat(fileType);
        if (!info)
            return false;
        info->LoadDataFormats();
        for (SInt32 j = 0; j < info->mNumDataFormats; ++j)
            if (info->mDataFormats[j].mFormatID == formatID)
                return true;
        return false;
    };
    const std::vector<std::tuple<AudioFileTypeID, AudioFormatID, bool>> cases = {
        {fourCharCode("AIFF"), fourCharCode("dw12"), false}, {fourCharCode("MPEG"), fourCharCode(".mp1"), false},
        {fourCharCode("MPEG"), fourCharCode(".mp2"), false}, {fourCharCode("WAVE"), fourCharCode(".mp3"), false},
        {fourCharCode("AIFF"), fourCharCode("dw16"), true},  {fourCharCode("raw "), fourCharCode("dw12"), true},
        {fourCharCode("MPEG"), fourCharCode(".mp3"), true},  {fourCharCode("WAVE"), kLPCM, true},
        {fourCharCode("OggS"), fourCharCode("opus"), true},  // Opus refuses 44.1 kHz
        {fourCharCode("OggS"), fourCharCode("vorb"), true},  {fourCharCode("fLaC"), fourCharCode("flac"), true},
    };
    char type[kCAStringForOSTypeSize], format[kCAStringForOSTypeSize];
    for (const auto& [fileType, formatID, listed] : cases)
        EXPECT_EQ(holds(fileType, formatID), listed)
            << CAStringForOSType(fileType, type) << " " << CAStringForOSType(formatID, format);
    EXPECT_FALSE(catalogue.IsKnownDataFormat(fourCharCode(".mp1")));

    AudioFileTypeID fileType = 0;
    ASSERT_TRUE(catalogue.InferFileFormatFromFilename("x.mp3", fileType));
    EXPECT_EQ(fileType, fourCharCode("MPEG"));
    AudioStreamBasicDescription suggested{};
    ASSERT_TRUE(catalogue.InferDataFormatFromFileFormat(fileType, suggested));
    EXPECT_EQ(suggested.mFormatID, fourCharCode(".mp3"));
}

TEST(SndfileCatalogue, MatchesSndfileCounts)
{
    CAAudioFileFormats& catalogue = *CAAudioFileFormats::Instance();
    const auto majors = Sndfile::list(SFC_GET_FORMAT_MAJOR_COUNT, SFC_GET_FORMAT_MAJOR);
    const auto subtypes = Sndfile::list(SFC_GET_FORMAT_SUBTYPE_COUNT, SFC_GET_FORMAT_SUBTYPE);
    ASSERT_FALSE(majors.empty());

    SInt32 writableMajors = 0;
    for (const SF_FORMAT_INFO& major : majors) {
        int acceptedSubtypes = 0;
        bool eitherEndian = false;
        for (const SF_FORMAT_INFO& subtype : subtypes) {
            const int f = major.format | subtype.format;
            if (!Sndfile::writes(f) && !Sndfile::writes(f | SF_ENDIAN_LITTLE) && !Sndfile::writes(f | SF_ENDIAN_BIG))
                continue;
            ++acceptedSubtypes;
            const bool pcmAbove8 = subtype.format >= SF_FORMAT_PCM_16 && subtype.format <= SF_FORMAT_DOUBLE &&
                                   subtype.format != SF_FORMAT_PCM_U8;
            if (pcmAbove8 && major.format != SF_FORMAT_FLAC && Sndfile::accepts(f | SF_ENDIAN_LITTLE) &&
                Sndfile::accepts(f | SF_ENDIAN_BIG))
                eitherEndian = true;
        }
        if (acceptedSubtypes == 0)
            continue;
        ++writableMajors;

        // Find the record by libsndfile's name and extension.
        CAAudioFileFormats::FileFormatInfo* info = nullptr;
        for (SInt32 i = 0; i < catalogue.mNumFileFormats; ++i)
            if (catalogue.mFileFormats[i].mFileTypeName->utf8() == major.name)
                info = &catalogue.mFileFormats[i];
        ASSERT_NE(info, nullptr) << major.name;
        EXPECT_TRUE(info->MatchExtension(*CFString::fromUTF8(major.extension))) << major.name;

        // Every accepted subtype is one variant, once the byte order is set aside.
        info->LoadDataFormats();
        std::set<std::tuple<AudioFormatID, AudioFormatFlags, UInt32>> variants;
        bool anyEitherEndian = false;
        for (SInt32 j = 0; j < info->mNumDataFormats; ++j) {
            const auto& entry = info->mDataFormats[j];
            EXPECT_TRUE(entry.mWritable && entry.mReadable);
            anyEitherEndian = anyEitherEndian || entry.mEitherEndianPCM;
            for (SInt32 k = 0; k < entry.mNumVariants; ++k) {
                const AudioStreamBasicDescription& v = entry.mVariants[k];
                variants.insert(
                    {v.mFormatID, v.mFormatID == kLPCM ? v.mFormatFlags & ~kBE : v.mFormatFlags, v.mBitsPerChannel});
            }
        }
        EXPECT_EQ(int(variants.size()), acceptedSubtypes) << major.name;
        EXPECT_EQ(anyEitherEndian, eitherEndian) << major.name;
    }
    EXPECT_EQ(catalogue.mNumFileFormats, writableMajors);
}

}  // namespace

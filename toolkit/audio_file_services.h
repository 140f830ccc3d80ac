#pragma once
// The audio file and audio format queries behind the file format catalogue, and the product's
// answers to them from libsndfile.

#include "toolkit/audio_stream_basic_description.h"
#include "toolkit/cf_types.h"

using AudioFileTypeID = OSType;

// Query codes. The list queries answer arrays of 4-byte codes, except 'sdid', which answers
// stream format records.
enum AudioFileQuery : OSType {
    kAudioFileGlobalInfo_WritableTypes = fourCharCode("afwf"),
    kAudioFileGlobalInfo_FileTypeName = fourCharCode("ftnm"),
    kAudioFileGlobalInfo_ExtensionsForType = fourCharCode("fext"),
    kAudioFileGlobalInfo_AvailableFormatIDs = fourCharCode("fmid"),
    kAudioFileGlobalInfo_AvailableStreamDescriptionsForFormat = fourCharCode("sdid"),
    kAudioFormatProperty_EncodeFormatIDs = fourCharCode("acof"),
    kAudioFormatProperty_DecodeFormatIDs = fourCharCode("acif"),
};

// The specifier of a query: 'fmid' reads the file type, 'sdid' both fields, the others neither.
struct AudioFileTypeAndFormatID {
    AudioFileTypeID mFileType = 0;
    AudioFormatID mFormatID = 0;
};

// Failure statuses of the queries.
constexpr OSStatus kAudioFileUnsupportedPropertyError = OSStatus(fourCharCode("pty?"));    // unknown query
constexpr OSStatus kAudioFileUnsupportedFileTypeError = OSStatus(fourCharCode("typ?"));    // unknown type
constexpr OSStatus kAudioFileUnsupportedDataFormatError = OSStatus(fourCharCode("fmt?"));  // not in type

// The seven queries. Every call returns 0 on success or a non-zero status, and writes its outputs
// only on success.
class AudioFileServices {
public:
    virtual ~AudioFileServices() = default;

    // Byte size of the list answer of `query` ('afwf', 'acof', 'acif', 'fmid' or 'sdid').
    virtual OSStatus getInfoSize(AudioFileQuery query, const AudioFileTypeAndFormatID& specifier, UInt32& outBytes) = 0;
    // Copies at most `ioBytes` bytes of the list answer of `query` to `outData` (suitably aligned
    // for its elements) and sets `ioBytes` to the bytes written.
    virtual OSStatus getInfo(AudioFileQuery query, const AudioFileTypeAndFormatID& specifier, UInt32& ioBytes,
                             void* outData) = 0;
    // 'ftnm': the display name of `fileType`.
    virtual OSStatus getFileTypeName(AudioFileTypeID fileType, CFString& outName) = 0;
    // 'fext': the file-name extensions of `fileType`, without the dot.
    virtual OSStatus getFileTypeExtensions(AudioFileTypeID fileType, CFStringArray& outExtensions) = 0;
};

// The product's answers, read from this machine's libsndfile once, on first use, and kept for the
// rest of the process (thread-safe to obtain; the answers never change afterwards).
//
// File types: every major format with at least one subtype that libsndfile writes: one that
// sf_format_check accepts and a write of a few frames to memory confirms (the check alone lets a
// few through that cannot be written; SD2, whose resource fork goes to a second file on disk, is
// taken on the check's word). Those trials are most of the first query's cost, which
// bench/catalogue_first_query measures. Codes come from the format's own magic where it has one:
// 'WAVE', 'AIFF', '.snd' (AU), ' paf', '8SVX', 'NIST', 'PVF1', '2BIT' (AVR), 'Sd2f', 'fLaC',
// 'caff', 'ALaw' (Psion WVE), 'OggS', 'RF64'. Ours: 'raw ', 'VOC ', 'IRCM' (Berkeley/IRCAM/CARL),
// 'W64 ', 'MAT4', 'MAT5', 'XI  ', 'HTK ', 'SDS ', 'WAVX' (WAVEX), 'MPC2' (Akai MPC 2k), 'MPEG';
// any other major format m gets 's','f', then the two bytes of m >> 16. Names and extensions are libsndfile's, with the
// usual alternates added ("aif"/"aifc" for AIFF, "snd" for AU, "ogg"/"opus" for Ogg,
// "nist"/"sph" for NIST, "mp3"/"mp2"/"mp1" for MPEG).
//
// Data formats (one per subtype, except where noted): linear PCM subtypes 'lpcm' (in a FLAC
// container 'flac', one variant per bit depth), 'ulaw', 'alaw', 'ima4' (IMA ADPCM), 'msad'
// (Microsoft ADPCM), 'agsm' (GSM 6.10), 'vox ' (VOX ADPCM), 'g721' (G.721 32 kbit/s), 'g723'
// (G.723 24 kbit/s), 'g740' (G.723 40 kbit/s), 'dw12', 'dw16', 'dw24', 'dwvn' (DWVW), 'nm16',
// 'nm24', 'nm32' (NMS ADPCM), 'dp08', 'dp16' (DPCM), 'vorb', 'opus', 'alac' (one variant per
// source depth, flags 1 to 4 for 16, 20, 24 and 32 bits), '.mp1', '.mp2', '.mp3'; any other
// subtype s gets 's','t', then the two bytes of s.
//
// Variants ('sdid'): linear PCM has one record per subtype and byte order the container writes
// (SF_ENDIAN_LITTLE and SF_ENDIAN_BIG, confirmed the same way; where the container only takes its
// own order, that order as libsndfile writes it), the container's own order first; 8-bit samples
// get one record, with no byte order flag. Records leave rate, channels and byte counts 0
// (wildcards), frames per packet 1. Other encodings get one record per subtype.
//
// 'acof' lists the data formats of every written combination; 'acif' those plus the formats of
// every subtype libsndfile reads.
AudioFileServices& defaultAudioFileServices();

#pragma once
// The catalogue of audio file types this machine can write: names, extensions and, loaded on
// demand, the encodings each type holds with the stream formats offered for them.

#include "toolkit/audio_file_services.h"
#include "toolkit/audio_stream_basic_description.h"
#include "toolkit/cf_types.h"

#include <memory>
#include <optional>

class CAAudioFileFormats {
public:
    // One encoding a file type can hold.
    struct DataFormatInfo {
        AudioFormatID mFormatID = 0;
        SInt32 mNumVariants = 0;                                   // entries of mVariants; 0 when the host gave none
        std::unique_ptr<AudioStreamBasicDescription[]> mVariants;  // in the host's order; may be null
        bool mReadable = false;                                    // decodable, or linear PCM
        bool mWritable = false;                                    // encodable, or linear PCM
        bool mEitherEndianPCM = false;                             // above 8 bits, both byte orders are offered
    };

    // One writable file type.
    struct FileFormatInfo {
        AudioFileTypeID mFileTypeID = 0;
        std::optional<CFString> mFileTypeName;     // absent when the name query failed
        std::optional<CFStringArray> mExtensions;  // without the dot; absent when the query failed
        SInt32 mNumDataFormats = 0;                // entries of mDataFormats
        // Null until loaded; present (even with no entries) once loaded.
        std::unique_ptr<DataFormatInfo[]> mDataFormats;

        // Reads the data formats from the host unless already loaded. A failed list query leaves
        // the record unloaded, so the next visit tries again.
        void LoadDataFormats();
        // Loads the data formats; true when any of them is writable.
        bool AnyWritableFormats();
        // True when one of the extensions equals `extension`, ignoring case.
        bool MatchExtension(const CFString& extension) const;

    private:
        friend class CAAudioFileFormats;
        AudioFileServices* mHost = nullptr;  // the catalogue's; a record without one loads nothing
    };

    // The process-wide catalogue, built from libsndfile's answers on the first call (with data
    // formats when `loadDataFormats`; later calls ignore the flag). Never destroyed. Not
    // thread-safe: the first call and every query must come from one thread at a time.
    static CAAudioFileFormats* Instance(bool loadDataFormats = false);

    // Builds a catalogue from `host`'s answers (which must outlive it), sorted by name
    // case-insensitively in the user's locale; records without a name come last. An unreadable
    // file type list gives an empty catalogue.
    explicit CAAudioFileFormats(bool loadDataFormats, AudioFileServices& host = defaultAudioFileServices());

    CAAudioFileFormats(const CAAudioFileFormats&) = delete;
    CAAudioFileFormats& operator=(const CAAudioFileFormats&) = delete;

    // The first record of `fileType`, or null. Loads nothing.
    FileFormatInfo* FindFileFormat(AudioFileTypeID fileType);

    // The file type whose extension list (in catalogue order) first matches the text after the
    // name's last ".", ignoring case. False, with `outFileType` untouched, when the name has no
    // dot or nothing matches.
    bool InferFileFormatFromFilename(const CFString& fileName, AudioFileTypeID& outFileType);
    // The same for UTF-8 text; false for a null pointer or text that is not valid UTF-8.
    bool InferFileFormatFromFilename(const char* fileName, AudioFileTypeID& outFileType);

    // The file type of the only data format entry in the whole catalogue with `format`'s format
    // identifier. False, with `outFileType` untouched, when none or several have it.
    bool InferFileFormatFromDataFormat(const AudioStreamBasicDescription& format, AudioFileTypeID& outFileType);

    // A stream format to write `fileType` with: its linear PCM entry when it has several (16 bits
    // when offered), else its only entry; a variant when there is one, else a record holding only
    // the format identifier. False, with `outFormat` untouched, when the type has no data formats.
    bool InferDataFormatFromFileFormat(AudioFileTypeID fileType, AudioStreamBasicDescription& outFormat);

    // True when any file type holds `formatID`.
    bool IsKnownDataFormat(AudioFormatID formatID);

    SInt32 mNumFileFormats = 0;                      // 0 when the host's list is unavailable
    std::unique_ptr<FileFormatInfo[]> mFileFormats;  // sorted by name

private:
    static CAAudioFileFormats* sInstance;
};

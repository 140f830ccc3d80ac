#pragma once
// Reading the files of play requests off the window's thread.

#include <QObject>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "services/smf_reader.h"

namespace brennick {

// A file read for a play request: its song and the model byte its raw bytes name.
struct LoadedFile {
    std::uint64_t request = 0;
    QString path;
    std::uint8_t modelByte = 0;
    QString contentKey;  // names the file's contents (not its name): what is remembered per file
    SmfReadResult result;
};

// One thread reads the file of the newest request; a request that comes while another file is
// read replaces any request still waiting, so only the files asked for last are read. Each result
// arrives through loaded() on the loader's own thread.
class SequenceLoader : public QObject {
    Q_OBJECT
public:
    explicit SequenceLoader(QObject* parent = nullptr);
    ~SequenceLoader() override;  // waits for a read under way

    // Reads `path` (any bytes, any length) for `request`.
    void load(std::uint64_t request, const QString& path);

signals:
    void loaded(std::shared_ptr<brennick::LoadedFile> file);

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<std::pair<std::uint64_t, QString>> waiting_;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace brennick

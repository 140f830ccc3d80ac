#include "app/sequence_loader.h"

#include <QMetaObject>

#include "app/model_table.h"
#include "platform/local_path.h"

namespace brennick {

namespace {

// FNV-1a over the bytes, with their count: files differ in content, not in name.
QString contentKeyOf(std::span<const std::uint8_t> bytes)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const std::uint8_t b : bytes)
        hash = (hash ^ b) * 0x100000001b3ULL;
    return QStringLiteral("%1-%2").arg(hash, 16, 16, QLatin1Char('0')).arg(bytes.size());
}

}  // namespace

SequenceLoader::SequenceLoader(QObject* parent) : QObject(parent), thread_([this] { run(); }) {}

SequenceLoader::~SequenceLoader()
{
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void SequenceLoader::load(std::uint64_t request, const QString& path)
{
    {
        std::lock_guard lock(mutex_);
        waiting_.emplace(request, path);
    }
    wake_.notify_all();
}

void SequenceLoader::run()
{
    for (;;) {
        std::pair<std::uint64_t, QString> next;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return quit_ || waiting_.has_value(); });
            if (quit_)
                return;
            next = std::move(*waiting_);
            waiting_.reset();
        }
        auto file = std::make_shared<LoadedFile>();
        file->request = next.first;
        file->path = next.second;
        FileReadResult read = readWholeFile(encodeLocalPath(file->path).toStdString());
        if (read.error != FileReadError::None) {
            file->modelByte = kNoModelByte;
            file->result.status = SmfStatus::Unreadable;
            file->result.readError = read.error;
        } else {
            // The model is named by the file's raw bytes, read once for both.
            file->modelByte = scanModelByte(read.bytes.span());
            file->contentKey = contentKeyOf(read.bytes.span());
            file->result = readSequenceFile(std::move(read.bytes));
        }
        QMetaObject::invokeMethod(
            this, [this, file] { emit loaded(file); }, Qt::QueuedConnection);
    }
}

}  // namespace brennick

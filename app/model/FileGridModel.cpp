#include "app/model/FileGridModel.hpp"

#include "app/model/RecoverySession.hpp"

#include <algorithm>

namespace vellary {
namespace {

QString view(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

FileGridModel::FileGridModel(const RecoverySession& session, QObject* parent)
    : QAbstractListModel(parent), session_(session) {}

void FileGridModel::setColumns(int columns) {
    columns = std::max(columns, 1);
    if (columns == columns_) return;
    columns_ = columns;
    beginResetModel();
    layout(rows_);
    endResetModel();
    emit columnsChanged();
}

void FileGridModel::layout(std::vector<Row>& rows) const {
    rows.clear();
    const auto columns = static_cast<std::uint32_t>(columns_);
    const auto& sections = session_.sections();
    for (std::uint32_t s = 0; s < sections.size(); ++s) {
        const auto& section = sections[s];
        // The one block of a name or size order has no title and no header.
        if (!section.title.isEmpty()) rows.push_back({s, section.begin, 0, true});
        for (std::uint32_t first = section.begin; first < section.end; first += columns)
            rows.push_back({s, first, std::min(columns, section.end - first), false});
    }
}

void FileGridModel::update(bool extendsPrevious) {
    layout(spare_);
    const auto old = rows_.size();
    // Every old row but the last must be unchanged, and the last may only have grown.
    const bool grows =
        extendsPrevious && spare_.size() >= old &&
        std::equal(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(old ? old - 1 : 0),
                   spare_.begin()) &&
        (old == 0 || (rows_[old - 1].first == spare_[old - 1].first &&
                      rows_[old - 1].header == spare_[old - 1].header &&
                      rows_[old - 1].count <= spare_[old - 1].count));
    if (!grows) {
        beginResetModel();
        rows_.swap(spare_);
        endResetModel();
        return;
    }
    const bool lastGrew = old > 0 && rows_[old - 1] != spare_[old - 1];
    if (spare_.size() > old) {
        beginInsertRows({}, static_cast<int>(old), static_cast<int>(spare_.size() - 1));
        rows_.swap(spare_);
        endInsertRows();
    } else {
        rows_.swap(spare_);
    }
    if (lastGrew)
        emit dataChanged(index(static_cast<int>(old - 1)), index(static_cast<int>(old - 1)));
}

void FileGridModel::marksChanged() {
    if (!rows_.empty()) emit dataChanged(index(0), index(rowCount() - 1), {TilesRole});
}

int FileGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant FileGridModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row& row = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case HeaderRole:
        return row.header;
    case TitleRole:
        return session_.sections()[row.section].title;
    case FirstRole:
        return row.first;
    case CountRole:
        return row.count;
    case TilesRole: {
        QVariantList tiles;
        for (std::uint32_t i = row.first; i < row.first + row.count; ++i) {
            const auto& file = session_.visibleFile(i);
            tiles.append(QVariantMap{
                {QStringLiteral("index"), i},
                {QStringLiteral("id"), QString::fromStdString(file.id)},
                {QStringLiteral("name"), QString::fromStdString(file.name)},
                {QStringLiteral("size"), QVariant::fromValue<qulonglong>(file.size)},
                {QStringLiteral("category"), view(fileCategory::rawValue(file.category))},
                {QStringLiteral("quality"), view(quality::rawValue(file.quality()))},
                {QStringLiteral("selected"), session_.isSelected(file.id)},
                {QStringLiteral("recovered"), session_.isRecovered(file.id)},
            });
        }
        return tiles;
    }
    default:
        return {};
    }
}

QHash<int, QByteArray> FileGridModel::roleNames() const {
    return {{HeaderRole, "header"},
            {TitleRole, "title"},
            {TilesRole, "tiles"},
            {FirstRole, "first"},
            {CountRole, "count"}};
}

} // namespace vellary

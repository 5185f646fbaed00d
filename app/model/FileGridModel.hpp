#pragma once

#include <QAbstractListModel>
#include <QtQml/qqmlregistration.h>
#include <cstdint>
#include <vector>

namespace vellary {

class RecoverySession;

// The results grid for one ListView: each row is a section header or one row of up to `columns`
// tiles, so only the rows on screen get delegates however many files were found.
class FileGridModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Owned by a RecoverySession")
    Q_PROPERTY(int columns READ columns WRITE setColumns NOTIFY columnsChanged)

public:
    enum Role { HeaderRole = Qt::UserRole + 1, TitleRole, TilesRole, FirstRole, CountRole };
    Q_ENUM(Role)

    struct Row {
        std::uint32_t section = 0;
        // Into the session's visible files; for a header, its section's first file.
        std::uint32_t first = 0;
        std::uint32_t count = 0;
        bool header = false;
        bool operator==(const Row&) const = default;
    };

    explicit FileGridModel(const RecoverySession& session, QObject* parent = nullptr);

    int columns() const { return columns_; }
    // Set from the view's width; below 1 counts as 1.
    void setColumns(int columns);
    const std::vector<Row>& rows() const { return rows_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Lays the rows out again from the session's sections. When the new visible list only
    // extends the old one, the grown last row changes and the new rows are one insertion;
    // otherwise the model resets.
    void update(bool extendsPrevious);
    // Selection or recovered marks changed: every tile row is redrawn.
    void marksChanged();

signals:
    void columnsChanged();

private:
    void layout(std::vector<Row>& rows) const;

    const RecoverySession& session_;
    int columns_ = 4;
    std::vector<Row> rows_;
    std::vector<Row> spare_;
};

} // namespace vellary

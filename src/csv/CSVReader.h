#pragma once

#include "platform/Exceptions.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

class QFile;

namespace klv {

class Dialogs;

// The string list's index error: a field asked for beyond the fields of the current line.
class EStringListError : public Exception
{
public:
    using Exception::Exception;
    QString className() const override { return QStringLiteral("EStringListError"); }
};

// Reads a delimited text file (Windows-1252) line by line and splits each line into fields:
// by `Separator` when `Delimiter` is a blank, otherwise by taking the text between pairs of
// `Delimiter` characters and ignoring everything outside them. Every line yields at least
// `NoOfFields` fields, padded with empty ones.
//
// Usage: set CSVFile, Delimiter and Separator; Open (the first line is current); ReadLine; while
// not Eof: GetField..., ReadLine; Close. Open reports a file it cannot read with an error box
// and raises nothing; ReadLine and Close on a reader without an open file raise EInOutError.
class TCSVReader : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString CSVFile READ CSVFile WRITE setCSVFile)
    Q_PROPERTY(char Separator READ Separator WRITE setSeparator)
    Q_PROPERTY(char Delimiter READ Delimiter WRITE setDelimiter)
    Q_PROPERTY(bool Eof READ Eof)
    Q_PROPERTY(int16_t NoOfFields READ NoOfFields WRITE setNoOfFields)

public:
    explicit TCSVReader(Dialogs &dialogs, QObject *owner = nullptr);
    ~TCSVReader() override;

    const QString &CSVFile() const { return FCSVFile; }
    void setCSVFile(const QString &value) { FCSVFile = value; }
    char Separator() const { return FSeparator; }
    void setSeparator(char value) { FSeparator = value; }
    char Delimiter() const { return FDelimiter; }
    void setDelimiter(char value) { FDelimiter = value; }
    int16_t NoOfFields() const { return FNoOfFields; }
    void setNoOfFields(int16_t value) { FNoOfFields = value; }
    // True when the current line is blank (codes 32 and below only) and nothing but blank lines
    // follow it; also true when no file is open.
    bool Eof() const;

    void Open();
    void ReadLine();
    // The field at the zero-based index of the current line; EStringListError beyond them.
    QString GetField(int index) const;
    void Close();
    bool isOpen() const;

    // The fields of the current line, for callers that want them all.
    const QStringList &fields() const { return FFields; }

private:
    bool fileAtEnd() const;
    bool restIsBlank() const;
    bool fill() const;
    QByteArray readRawLine();
    void split();
    int16_t countFields() const;

    Dialogs &FDialogs;
    QString FCSVFile;
    char FSeparator = 0;
    char FDelimiter = 0;
    int16_t FNoOfFields = 0;

    std::unique_ptr<QFile> FFile;
    // Read ahead from the file; FBuffer[FPos...] is not consumed yet. Eof may read further ahead.
    mutable QByteArray FBuffer;
    mutable qsizetype FPos = 0;
    QByteArray FCurrentLine;
    QStringList FFields;
};

} // namespace klv

#pragma once

#include <QObject>

// Declared apart from its definitions: moc cannot read the raw JSON literals.
class TestManifest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void decoding_data();
    void decoding();
    void evaluation_data();
    void evaluation();
    void architectureChoice_data();
    void architectureChoice();
    void minimumSystem_data();
    void minimumSystem();
    void size_data();
    void size();
    void urlRule_data();
    void urlRule();
    void configuredPort();
};

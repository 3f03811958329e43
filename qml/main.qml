import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts

ApplicationWindow {
    id: window
    visible: true

    // On a board's own display the platform shows the window full-screen.
    Component.onCompleted: {
        if (!imageWriter.isEmbeddedMode()) {
            width = 800
            height = 600
            minimumWidth = 800
            minimumHeight = 600
        }
    }

    title: qsTr("Q5 Orlith Image Writer %1").arg(imageWriter.constantVersion())

    property bool showHeader: false
    property bool isDfuMode: false
    property bool dfuOwnsProgress: false
    property bool isUniflashMode: false

    readonly property color backgroundColor: "#18224f"
    readonly property color progressTrackColor: "#d15d7d"
    readonly property color writingAccentColor: "#ffffff"
    readonly property color verifyingAccentColor: "#6cc04a"

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Item {
            Layout.fillWidth: true
            Layout.preferredHeight: window.height / 4
        }

        Rectangle {
            color: window.backgroundColor
            Layout.fillWidth: true
            Layout.fillHeight: true

            ColumnLayout {
                anchors.fill: parent
                anchors.topMargin: 25
                anchors.leftMargin: 50
                anchors.rightMargin: 50
                spacing: 15

                Text {
                    id: progressText
                    visible: false
                    color: "white"
                    font.bold: true
                    font.pointSize: 10
                    Layout.fillWidth: true
                    horizontalAlignment: Text.AlignHCenter
                }

                ProgressBar {
                    id: progressBar
                    visible: false
                    Layout.fillWidth: true
                    Material.background: window.progressTrackColor
                    Material.accent: window.writingAccentColor
                }

                Text {
                    id: networkInfo
                    visible: imageWriter.isEmbeddedMode()
                    text: qsTr("Network not ready yet")
                    color: "white"
                    font.pixelSize: 18
                    Layout.fillWidth: true
                    horizontalAlignment: Text.AlignHCenter
                }

                Item {
                    Layout.fillHeight: true
                }
            }
        }
    }

    function showProgress(text, fraction, accent) {
        progressText.text = text
        progressText.visible = true
        progressBar.indeterminate = fraction < 0
        if (fraction >= 0)
            progressBar.value = fraction
        progressBar.Material.accent = accent
        progressBar.visible = true
    }

    function resetWriteButton() {
        progressText.visible = false
        progressBar.visible = false
    }

    function onDownloadProgress(now, total) {
        var fraction = total ? now / (total + 1) : 0
        if (fraction === progressBar.value || progressText.text === qsTr("Cancelling...")
                || dfuOwnsProgress)
            return
        var percent = Math.floor(fraction * 100)
        var text
        if (imageWriter.isNetworkDownload())
            text = qsTr("Downloading... %1%").arg(percent)
        else if (isDfuMode || isUniflashMode)
            text = qsTr("Preparing image... %1%").arg(percent)
        else
            text = qsTr("Writing... %1%").arg(percent)
        showProgress(text, fraction, writingAccentColor)
    }

    function onSendingProgress(pos) {
        if (pos === progressBar.value || progressText.text === qsTr("Cancelling..."))
            return
        showProgress(qsTr("Sending... %1%").arg(Math.floor(pos * 100)), pos, writingAccentColor)
    }

    function onVerifyProgress(now, total) {
        var fraction = total ? now / total : 0
        if (fraction === progressBar.value || progressText.text === qsTr("Finalizing..."))
            return
        showProgress(qsTr("Verifying... %1%").arg(Math.floor(fraction * 100)), fraction,
                     verifyingAccentColor)
    }

    function onDfuProgress(percentage, statusMsg) {
        if (percentage >= 78)
            dfuOwnsProgress = true
        showProgress(statusMsg + "  (" + percentage + "%)", percentage / 100, writingAccentColor)
    }

    function onDfuAuthRequired() {
        showProgress(qsTr("Waiting for authentication to access USB device..."), -1,
                     writingAccentColor)
    }

    function onPreparationStatusUpdate(msg) {
        if (!dfuOwnsProgress)
            showProgress(qsTr("Preparing to write... (%1)").arg(msg), -1, writingAccentColor)
    }

    function onFinalizing() {
        showProgress(qsTr("Finalizing..."), -1, writingAccentColor)
    }

    function onError(msg) {
        console.log("Job failed:", msg)
        resetWriteButton()
    }

    function onSuccess() {
        isDfuMode = false
        resetWriteButton()
    }

    function onCancelled() {
        resetWriteButton()
    }

    function onFileSelected(file) {
        imageWriter.setSrc(file)
    }

    // The repository list is shown by the operating-system chooser of the main window.
    function fetchOSlist() {
        console.log("Repository list available for", imageWriter.constantOsListUrl())
    }

    function onOsListPrepared() {
        fetchOSlist()
    }

    function onNetworkInfo(msg) {
        networkInfo.text = msg
    }
}

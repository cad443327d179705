// The properties window's lines.
#include <ctime>
#include <sys/stat.h>

#include "Kv.FS.Local.h"
#include "Kv.FileActions.h"
#include "Kv.Platform.Errors.h"
#include "Kv.Platform.FileInfo.h"

namespace kv {

namespace {

std::string LocalTimeText(const TKvFileTime& ATime) {
    if (!ATime.Known || (ATime.Seconds == 0 && ATime.Nanoseconds == 0))
        return {};
    time_t seconds = static_cast<time_t>(ATime.Seconds);
    struct tm local {};
    if (!::localtime_r(&seconds, &local))
        return {};
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string KindOf(uint32_t AMode) {
    if (S_ISDIR(AMode))
        return "Folder";
    if (S_ISREG(AMode))
        return "File";
    if (S_ISLNK(AMode))
        return "Link";
    if (S_ISFIFO(AMode))
        return "Named pipe";
    if (S_ISSOCK(AMode))
        return "Socket";
    if (S_ISCHR(AMode))
        return "Character device";
    if (S_ISBLK(AMode))
        return "Block device";
    return "File";
}

void Add(std::vector<TKvProp>& AProps, const std::string& AName, const std::string& AValue) {
    if (!AValue.empty())
        AProps.push_back({AName, AValue});
}

void AddLocal(std::vector<TKvProp>& AProps, const std::string& APath, const TKvTypeDescriber& ADescribe) {
    TKvFileInfo info;
    if (int error = ReadFileInfo(APath, info)) {
        Add(AProps, "Problem", ErrorText(error));
        return;
    }
    const bool link = S_ISLNK(info.Mode);
    // What a link leads to decides what it is to the user; a broken one is only a link.
    const uint32_t shown = link && info.TargetMode != 0 ? info.TargetMode : info.Mode;
    std::string type = ADescribe && !S_ISDIR(shown) ? ADescribe(APath) : std::string();
    if (type.empty())
        type = KindOf(shown);
    if (link)
        type += info.TargetMode == 0 ? ", link that leads nowhere" : ", link";
    Add(AProps, "Type", type);
    Add(AProps, "Link target", info.LinkTarget);
    if (S_ISREG(info.Mode))
        Add(AProps, "Size", PropertySizeText(static_cast<int64_t>(info.Size)));
    Add(AProps, "Created", LocalTimeText(info.Born));
    Add(AProps, "Modified", LocalTimeText(info.Modified));
    Add(AProps, "Opened", LocalTimeText(info.Accessed));
    Add(AProps, "Changed", LocalTimeText(info.Changed));
    Add(AProps, "Permissions", PermissionsText(link ? info.TargetMode : info.Mode));
    Add(AProps, "Owner", info.User);
    Add(AProps, "Group", info.Group);
}

void AddServer(std::vector<TKvProp>& AProps, IKvFileSystem& AFs, const std::string& APath) {
    Add(AProps, "Server", AFs.DisplayPrefix());
    TKvFileEntry entry;
    if (!AFs.Stat(APath, entry)) {
        Add(AProps, "Problem", "The server does not know this name any more");
        return;
    }
    Add(AProps, "Type", std::string(entry.IsDir ? "Folder" : "File") + (entry.IsLink ? ", link" : ""));
    if (!entry.IsDir)
        Add(AProps, "Size", PropertySizeText(entry.Size));
    int64_t seconds = 0, nanoseconds = 0;
    if (UnixFromDateTime(entry.Modified, seconds, nanoseconds))
        Add(AProps, "Modified", LocalTimeText({seconds, nanoseconds, true}));
    uint32_t mode = 0;
    if (auto* modes = dynamic_cast<IKvFileMode*>(&AFs); modes && modes->GetMode(APath, mode))
        Add(AProps, "Permissions", PermissionsText(mode));
    std::string user, group;
    if (auto* owners = dynamic_cast<IKvFileOwner*>(&AFs); owners && owners->GetOwner(APath, user, group)) {
        Add(AProps, "Owner", user);
        Add(AProps, "Group", group);
    }
    if (entry.IsHidden)
        Add(AProps, "Attributes", "hidden (the name starts with a dot)");
}

} // namespace

std::string PermissionsText(uint32_t AMode) {
    std::string text = "---------";
    const char* letters = "rwx";
    for (int i = 0; i < 9; ++i)
        if (AMode & (0400u >> i))
            text[i] = letters[i % 3];
    auto special = [&](uint32_t ABit, int AAt, char ALower) {
        if (AMode & ABit)
            text[AAt] = text[AAt] == 'x' ? ALower : static_cast<char>(ALower - 'a' + 'A');
    };
    special(04000, 2, 's');
    special(02000, 5, 's');
    special(01000, 8, 't');
    char octal[16];
    std::snprintf(octal, sizeof octal, "%04o", AMode & 07777);
    return text + " (" + octal + ")";
}

std::string PropertySizeText(int64_t ASize) {
    std::string text = FormatBytes(ASize) + " bytes";
    if (ASize > 1023)
        text += " (" + FormatSize(ASize) + ")";
    return text;
}

std::vector<TKvProp> CollectProperties(const IKvFileSystemPtr& AFs, const std::string& APath,
                                       const TKvTypeDescriber& ADescribe) {
    std::vector<TKvProp> props;
    try {
        const bool local = AFs->Id() == LocalFs()->Id();
        Add(props, "Name", AFs->NameOf(APath));
        Add(props, "Folder", AFs->ParentOf(APath));
        Add(props, "Path", local ? APath : AFs->DisplayPrefix() + APath);
        if (local)
            AddLocal(props, APath, ADescribe);
        else
            AddServer(props, *AFs, APath);
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception& e) {
        Add(props, "Problem", e.what());
    }
    return props;
}

} // namespace kv

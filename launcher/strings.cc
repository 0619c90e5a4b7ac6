#include "launcher/strings.h"

namespace quorvel::launcher {

const StringTable& builtInStrings() {
  static const StringTable table = {
      {"open",
       {{"zh-Hans", "打开Quorvel"},
        {"zh-Hant", "打開Quorvel"},
        {"ja", "Quorvelを開く"},
        {"en", "Open Quorvel"}}},
      {"quit",
       {{"zh-Hans", "退出Quorvel"},
        {"zh-Hant", "結束Quorvel"},
        {"ja", "Quorvelを終了"},
        {"en", "Quit Quorvel"}}},
      {"about",
       {{"zh-Hans", "关于Quorvel"},
        {"zh-Hant", "關於Quorvel"},
        {"ja", "Quorvelについて"},
        {"en", "About Quorvel"}}},
      {"dataAt",
       {{"zh-Hans", "数据文件夹：%@"},
        {"zh-Hant", "資料夾：%@"},
        {"ja", "データフォルダ：%@"},
        {"en", "Data folder: %@"}}},
      {"hide", {{"zh-Hans", "隐藏"}, {"zh-Hant", "隱藏"}, {"ja", "隠す"}, {"en", "Hide"}}},
      {"failed",
       {{"zh-Hans", "Quorvel没有启动起来"},
        {"zh-Hant", "Quorvel沒有啟動"},
        {"ja", "Quorvelを起動できませんでした"},
        {"en", "Quorvel couldn't start"}}},
      {"logAt",
       {{"zh-Hans", "完整的记录在：%@"},
        {"zh-Hant", "完整的記錄在：%@"},
        {"ja", "詳しい記録：%@"},
        {"en", "Full log: %@"}}},
      {"noData",
       {{"zh-Hans", "找不到数据文件夹：\n%@"},
        {"zh-Hant", "找不到資料夾：\n%@"},
        {"ja", "データフォルダが見つかりません：\n%@"},
        {"en", "The data folder can't be found:\n%@"}}},
      {"noDisk",
       {{"zh-Hans", "数据文件夹在「%@」上，这个磁盘现在没有接上。接上以后点「再试一次」。"},
        {"zh-Hant", "資料夾在「%@」上，這個磁碟現在沒有連接。接上後按「再試一次」。"},
        {"ja",
         "データフォルダは「%@」にありますが、このディスクが接続されていません。"
         "接続してから「再試行」を押してください。"},
        {"en",
         "The data folder is on “%@”, which isn't connected. Connect it and click Try Again."}}},
      {"retry",
       {{"zh-Hans", "再试一次"}, {"zh-Hant", "再試一次"}, {"ja", "再試行"}, {"en", "Try Again"}}},
      {"useDefault",
       {{"zh-Hans", "改用默认位置（新的空文件夹）"},
        {"zh-Hant", "改用預設位置（新的空資料夾）"},
        {"ja", "既定の場所を使う（新しい空のフォルダ）"},
        {"en", "Use the Default Location (New, Empty)"}}},
      {"recording",
       {{"zh-Hans", "正在实时录音"},
        {"zh-Hant", "正在即時錄音"},
        {"ja", "リアルタイム録音中です"},
        {"en", "A live recording is in progress"}}},
      {"recordingDetail",
       {{"zh-Hans", "现在退出，录音会停在这里（已经录下的部分会保存）。"},
        {"zh-Hant", "現在結束，錄音會停在這裡（已錄下的部分會保存）。"},
        {"ja", "いま終了すると録音はここで止まります（録音済みの部分は保存されます）。"},
        {"en", "Quitting now stops the recording here (what's been recorded so far is kept)."}}},
      {"keepRecording",
       {{"zh-Hans", "继续录音"},
        {"zh-Hant", "繼續錄音"},
        {"ja", "録音を続ける"},
        {"en", "Keep Recording"}}},
      {"quitAnyway",
       {{"zh-Hans", "仍然退出"},
        {"zh-Hant", "仍然結束"},
        {"ja", "終了する"},
        {"en", "Quit Anyway"}}},
      {"portBusy",
       {{"zh-Hans", "端口 %@ 被别的程序占用了，Quorvel用不了它。"},
        {"zh-Hant", "連接埠 %@ 被別的程式佔用，Quorvel無法使用。"},
        {"ja", "ポート %@ が別のプログラムに使われているため、Quorvelを起動できません。"},
        {"en", "Port %@ is used by another program, so Quorvel can't use it."}}},
  };
  return table;
}

std::string chooseLanguage(const std::vector<std::string>& preferredLanguages) {
  const auto startsWith = [](const std::string& code, std::string_view prefix) {
    return code.compare(0, prefix.size(), prefix) == 0;
  };
  for (const std::string& code : preferredLanguages) {
    if (startsWith(code, "zh-Hant") || startsWith(code, "zh-TW") || startsWith(code, "zh-HK")) {
      return "zh-Hant";
    }
    if (startsWith(code, "zh")) return "zh-Hans";
    if (startsWith(code, "ja")) return "ja";
    if (startsWith(code, "en")) return "en";
  }
  return "en";
}

std::string t(const StringTable& strings, const std::string& lang, const std::string& key,
              const std::vector<std::string>& arguments) {
  std::string text = key;
  if (const auto entry = strings.find(key); entry != strings.end()) {
    if (const auto inLang = entry->second.find(lang); inLang != entry->second.end()) {
      text = inLang->second;
    } else if (const auto english = entry->second.find("en"); english != entry->second.end()) {
      text = english->second;
    }
  }
  if (arguments.empty()) return text;
  std::string formatted;
  size_t next = 0;
  size_t at = 0;
  while (true) {
    const size_t placeholder = text.find("%@", at);
    if (placeholder == std::string::npos || next == arguments.size()) break;
    formatted.append(text, at, placeholder - at);
    formatted += arguments[next++];
    at = placeholder + 2;
  }
  formatted.append(text, at, std::string::npos);
  return formatted;
}

}  // namespace quorvel::launcher

<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>BrowserApplication</name>
    <message>
        <source>This system does not support OpenSSL. SSL websites will not be available.</source>
        <translation>此系统不支持 OpenSSL，将无法访问 SSL 网站。</translation>
    </message>
</context>
<context>
    <name>BrowserMainWindow</name>
    <message>
        <source>lumaview.example.org</source>
        <translation>lumaview.example.org</translation>
    </message>
    <message>
        <source>%1 - lumaview.example.org</source>
        <comment>Page title and Browser name</comment>
        <translation>%1 - lumaview.example.org</translation>
    </message>
    <message>
        <source>Open Web Resource</source>
        <translation>打开网页资源</translation>
    </message>
    <message>
        <source>Web Resources (*.html *.htm *.svg *.png *.gif *.svgz);;All files (*.*)</source>
        <translation>网页资源 (*.html *.htm *.svg *.png *.gif *.svgz);;所有文件 (*.*)</translation>
    </message>
    <message>
        <source>Are you sure you want to close the window?  There are %1 tabs open</source>
        <translation>确定要关闭此窗口吗？当前打开了 %1 个标签页</translation>
    </message>
    <message>
        <source>Open Location</source>
        <translation>打开位置</translation>
    </message>
    <message>
        <source>Address or host name:</source>
        <translation>网址或主机名：</translation>
    </message>
    <message>
        <source>Developer Tools - %1</source>
        <translation>开发者工具 - %1</translation>
    </message>
    <message>
        <source>%1 %</source>
        <comment>zoom level in the status bar</comment>
        <translation>%1%</translation>
    </message>
    <message>
        <source>Downloads in progress</source>
        <translation>下载正在进行</translation>
    </message>
    <message>
        <source>Downloads are still running. Closing the window ends the client and stops them. Close anyway?</source>
        <translation>仍有下载正在进行。关闭窗口将退出客户端并停止这些下载。仍要关闭吗？</translation>
    </message>
</context>
<context>
    <name>DownloadDialog</name>
    <message>
        <source>Downloads</source>
        <translation>下载</translation>
    </message>
    <message>
        <source>Clean up</source>
        <translation>清理</translation>
    </message>
    <message>
        <source>Open Folder</source>
        <translation>打开文件夹</translation>
    </message>
    <message>
        <source>0 Items</source>
        <translation>0 项</translation>
    </message>
</context>
<context>
    <name>DownloadItem</name>
    <message>
        <source>Form</source>
        <translation>表单</translation>
    </message>
    <message>
        <source>Ico</source>
        <translation>Ico</translation>
    </message>
    <message>
        <source>Filename</source>
        <translation>文件名</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>打开</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>重试</translation>
    </message>
</context>
<context>
    <name>DownloadManager</name>
    <message>
        <source>1 Download</source>
        <translation>1 个下载</translation>
    </message>
    <message>
        <source>%1 Downloads</source>
        <translation>%1 个下载</translation>
    </message>
    <message>
        <source>Downloading %1</source>
        <translation>正在下载 %1</translation>
    </message>
</context>
<context>
    <name>DownloadWidget</name>
    <message>
        <source>seconds</source>
        <translation>秒</translation>
    </message>
    <message>
        <source>minutes</source>
        <translation>分钟</translation>
    </message>
    <message>
        <source>- %4 %5 remaining</source>
        <translation>- 剩余 %4 %5</translation>
    </message>
    <message>
        <source>%1 of %2 (%3/sec) %4</source>
        <translation>%1 / %2 (%3/秒) %4</translation>
    </message>
    <message>
        <source>%1 of %2</source>
        <translation>%1 / %2</translation>
    </message>
    <message>
        <source>%1 %2</source>
        <translation>%1 %2</translation>
    </message>
    <message>
        <source>bytes</source>
        <translation>字节</translation>
    </message>
    <message>
        <source>kB</source>
        <translation>KB</translation>
    </message>
    <message>
        <source>MB</source>
        <translation>MB</translation>
    </message>
    <message>
        <source>GB</source>
        <translation>GB</translation>
    </message>
    <message>
        <source>Download cancelled</source>
        <translation>下载已取消</translation>
    </message>
    <message>
        <source>Download interrupted</source>
        <translation>下载已中断</translation>
    </message>
</context>
<context>
    <name>FindBar</name>
    <message>
        <source>Find in page</source>
        <translation>在页面中查找</translation>
    </message>
    <message>
        <source>Previous match (Shift+Enter)</source>
        <translation>上一个匹配 (Shift+Enter)</translation>
    </message>
    <message>
        <source>Next match (Enter)</source>
        <translation>下一个匹配 (Enter)</translation>
    </message>
    <message>
        <source>Close (Esc)</source>
        <translation>关闭 (Esc)</translation>
    </message>
    <message>
        <source>Not found</source>
        <translation>未找到</translation>
    </message>
    <message>
        <source>%1 of %2 matches</source>
        <translation>第 %1 个，共 %2 个匹配</translation>
    </message>
</context>
<context>
    <name>FullScreenNotification</name>
    <message>
        <source>You are now in fullscreen mode. Press ESC to quit!</source>
        <translation>已进入全屏模式。按 ESC 键退出！</translation>
    </message>
</context>
<context>
    <name>KeyTable</name>
    <message>
        <source>&amp;Reload</source>
        <translation>重新加载(&amp;R)</translation>
    </message>
    <message>
        <source>Reload Without Cache</source>
        <translation>忽略缓存重新加载</translation>
    </message>
    <message>
        <source>&amp;Stop</source>
        <translation>停止(&amp;S)</translation>
    </message>
    <message>
        <source>&amp;Back</source>
        <translation>后退(&amp;B)</translation>
    </message>
    <message>
        <source>&amp;Forward</source>
        <translation>前进(&amp;F)</translation>
    </message>
    <message>
        <source>New &amp;Tab</source>
        <translation>新建标签页(&amp;T)</translation>
    </message>
    <message>
        <source>&amp;Close Tab</source>
        <translation>关闭标签页(&amp;C)</translation>
    </message>
    <message>
        <source>Reopen Closed Tab</source>
        <translation>重新打开关闭的标签页</translation>
    </message>
    <message>
        <source>Next Tab</source>
        <translation>下一个标签页</translation>
    </message>
    <message>
        <source>Previous Tab</source>
        <translation>上一个标签页</translation>
    </message>
    <message>
        <source>&amp;Find in Page...</source>
        <translation>在页面中查找(&amp;F)...</translation>
    </message>
    <message>
        <source>Open &amp;Location...</source>
        <translation>打开位置(&amp;L)...</translation>
    </message>
    <message>
        <source>Zoom &amp;In</source>
        <translation>放大(&amp;I)</translation>
    </message>
    <message>
        <source>Zoom &amp;Out</source>
        <translation>缩小(&amp;O)</translation>
    </message>
    <message>
        <source>Reset &amp;Zoom</source>
        <translation>重置缩放(&amp;Z)</translation>
    </message>
    <message>
        <source>&amp;Print...</source>
        <translation>打印(&amp;P)...</translation>
    </message>
    <message>
        <source>Page S&amp;ource</source>
        <translation>页面源代码(&amp;O)</translation>
    </message>
    <message>
        <source>&amp;Full Screen</source>
        <translation>全屏(&amp;F)</translation>
    </message>
    <message>
        <source>&amp;Developer Tools</source>
        <translation>开发者工具(&amp;D)</translation>
    </message>
    <message>
        <source>&amp;Downloads</source>
        <translation>下载(&amp;D)</translation>
    </message>
    <message>
        <source>&amp;Preferences...</source>
        <translation>首选项(&amp;P)...</translation>
    </message>
</context>
<context>
    <name>PageQuestions</name>
    <message>
        <source>%1 wants to show notifications.</source>
        <translation>%1 想要显示通知。</translation>
    </message>
    <message>
        <source>%1 wants to know your location.</source>
        <translation>%1 想要获取您的位置。</translation>
    </message>
    <message>
        <source>%1 wants to use your microphone.</source>
        <translation>%1 想要使用您的麦克风。</translation>
    </message>
    <message>
        <source>%1 wants to use your camera.</source>
        <translation>%1 想要使用您的摄像头。</translation>
    </message>
    <message>
        <source>%1 wants to use your camera and microphone.</source>
        <translation>%1 想要使用您的摄像头和麦克风。</translation>
    </message>
    <message>
        <source>%1 wants to hide and lock the mouse pointer.</source>
        <translation>%1 想要隐藏并锁定鼠标指针。</translation>
    </message>
    <message>
        <source>%1 wants to record your screen.</source>
        <translation>%1 想要录制您的屏幕。</translation>
    </message>
    <message>
        <source>%1 wants to record your screen and its sound.</source>
        <translation>%1 想要录制您的屏幕及其声音。</translation>
    </message>
    <message>
        <source>%1 wants to use a feature of this computer.</source>
        <translation>%1 想要使用这台计算机的一项功能。</translation>
    </message>
    <message>
        <source>Certificate Error</source>
        <translation>证书错误</translation>
    </message>
    <message>
        <source>The certificate of %1 is not valid. Someone may be posing as this site to read what you send to it and to change what it shows you.</source>
        <translation>%1 的证书无效。可能有人冒充此网站，以读取您发送给它的内容并篡改它显示给您的内容。</translation>
    </message>
    <message>
        <source>Continue Anyway</source>
        <translation>仍然继续</translation>
    </message>
    <message>
        <source>Go Back</source>
        <translation>返回</translation>
    </message>
    <message>
        <source>Permission Request</source>
        <translation>权限请求</translation>
    </message>
    <message>
        <source>The answer holds for this site until the client exits.</source>
        <translation>此答复对该网站有效，直到客户端退出。</translation>
    </message>
    <message>
        <source>Allow</source>
        <translation>允许</translation>
    </message>
    <message>
        <source>Deny</source>
        <translation>拒绝</translation>
    </message>
    <message>
        <source>Leave this page?</source>
        <translation>要离开此网页吗？</translation>
    </message>
    <message>
        <source>This page says:</source>
        <translation>此网页显示：</translation>
    </message>
    <message>
        <source>The page at %1 says:</source>
        <translation>%1 上的网页显示：</translation>
    </message>
    <message>
        <source>Changes you made may not be saved.</source>
        <translation>系统可能不会保存您所做的更改。</translation>
    </message>
    <message>
        <source>Prevent this page from creating more dialogs</source>
        <translation>禁止此网页再显示对话框</translation>
    </message>
    <message>
        <source>Leave</source>
        <translation>离开</translation>
    </message>
    <message>
        <source>Stay</source>
        <translation>留下</translation>
    </message>
</context>
<context>
    <name>PasswordDialog</name>
    <message>
        <source>Authentication Required</source>
        <translation>需要身份验证</translation>
    </message>
    <message>
        <source>Username:</source>
        <translation>用户名：</translation>
    </message>
    <message>
        <source>Password:</source>
        <translation>密码：</translation>
    </message>
</context>
<context>
    <name>ProxyDialog</name>
    <message>
        <source>Proxy Authentication</source>
        <translation>代理身份验证</translation>
    </message>
    <message>
        <source>Username:</source>
        <translation>用户名：</translation>
    </message>
    <message>
        <source>Password:</source>
        <translation>密码：</translation>
    </message>
</context>
<context>
    <name>RenderViewContextMenuQt</name>
    <message>
        <source>Back</source>
        <translation>后退</translation>
    </message>
    <message>
        <source>Forward</source>
        <translation>前进</translation>
    </message>
    <message>
        <source>Reload</source>
        <translation>重新加载</translation>
    </message>
    <message>
        <source>Cut</source>
        <translation>剪切</translation>
    </message>
    <message>
        <source>Copy</source>
        <translation>复制</translation>
    </message>
    <message>
        <source>Paste</source>
        <translation>粘贴</translation>
    </message>
    <message>
        <source>Paste and match style</source>
        <translation>粘贴并匹配样式</translation>
    </message>
    <message>
        <source>Undo</source>
        <translation>撤销</translation>
    </message>
    <message>
        <source>Redo</source>
        <translation>重做</translation>
    </message>
    <message>
        <source>Select all</source>
        <translation>全选</translation>
    </message>
    <message>
        <source>Open link in new tab</source>
        <translation>在新标签页中打开链接</translation>
    </message>
    <message>
        <source>Open link in new window</source>
        <translation>在新窗口中打开链接</translation>
    </message>
    <message>
        <source>Copy link address</source>
        <translation>复制链接地址</translation>
    </message>
    <message>
        <source>Save link</source>
        <translation>链接另存为</translation>
    </message>
    <message>
        <source>Copy image</source>
        <translation>复制图片</translation>
    </message>
    <message>
        <source>Copy image address</source>
        <translation>复制图片地址</translation>
    </message>
    <message>
        <source>Save image</source>
        <translation>图片另存为</translation>
    </message>
    <message>
        <source>Copy media address</source>
        <translation>复制媒体地址</translation>
    </message>
    <message>
        <source>Save media</source>
        <translation>媒体另存为</translation>
    </message>
    <message>
        <source>Show controls</source>
        <translation>显示控件</translation>
    </message>
    <message>
        <source>Loop</source>
        <translation>循环播放</translation>
    </message>
    <message>
        <source>Save page</source>
        <translation>网页另存为</translation>
    </message>
    <message>
        <source>View page source</source>
        <translation>查看网页源代码</translation>
    </message>
    <message>
        <source>Exit full screen</source>
        <translation>退出全屏</translation>
    </message>
    <message>
        <source>Inspect</source>
        <translation>检查</translation>
    </message>
</context>
<context>
    <name>Settings</name>
    <message>
        <source>Settings</source>
        <translation>设置</translation>
    </message>
    <message>
        <source>General</source>
        <translation>常规</translation>
    </message>
    <message>
        <source>Home:</source>
        <translation>主页：</translation>
    </message>
    <message>
        <source>Set to current page</source>
        <translation>设为当前页</translation>
    </message>
    <message>
        <source>Remove history items:</source>
        <translation>删除历史记录：</translation>
    </message>
    <message>
        <source>After one day</source>
        <translation>一天后</translation>
    </message>
    <message>
        <source>After one week</source>
        <translation>一周后</translation>
    </message>
    <message>
        <source>After two weeks</source>
        <translation>两周后</translation>
    </message>
    <message>
        <source>After one month</source>
        <translation>一个月后</translation>
    </message>
    <message>
        <source>After one year</source>
        <translation>一年后</translation>
    </message>
    <message>
        <source>Manually</source>
        <translation>手动</translation>
    </message>
    <message>
        <source>Save downloads to:</source>
        <translation>下载保存到：</translation>
    </message>
    <message>
        <source>Open links from applications:</source>
        <translation>打开来自其他应用程序的链接：</translation>
    </message>
    <message>
        <source>In a tab in the current window</source>
        <translation>在当前窗口的标签页中</translation>
    </message>
    <message>
        <source>In a new window</source>
        <translation>在新窗口中</translation>
    </message>
    <message>
        <source>Enable Scroll Animator</source>
        <translation>启用平滑滚动</translation>
    </message>
    <message>
        <source>Appearance</source>
        <translation>外观</translation>
    </message>
    <message>
        <source>Standard font:</source>
        <translation>标准字体：</translation>
    </message>
    <message>
        <source>Times 16</source>
        <translation>Times 16</translation>
    </message>
    <message>
        <source>Select...</source>
        <translation>选择...</translation>
    </message>
    <message>
        <source>Fixed-width font:</source>
        <translation>等宽字体：</translation>
    </message>
    <message>
        <source>Courier 13</source>
        <translation>Courier 13</translation>
    </message>
    <message>
        <source>Privacy</source>
        <translation>隐私</translation>
    </message>
    <message>
        <source>Web Content</source>
        <translation>网页内容</translation>
    </message>
    <message>
        <source>Enable Plugins</source>
        <translation>启用插件</translation>
    </message>
    <message>
        <source>Enable Javascript</source>
        <translation>启用 JavaScript</translation>
    </message>
    <message>
        <source>Cookies</source>
        <translation>Cookie</translation>
    </message>
    <message>
        <source>Persistent Cookie Policy</source>
        <translation>持久 Cookie 策略</translation>
    </message>
    <message>
        <source>Treat all cookies as session cookies</source>
        <translation>将所有 Cookie 视为会话 Cookie</translation>
    </message>
    <message>
        <source>Allow persistent cookies</source>
        <translation>允许持久 Cookie</translation>
    </message>
    <message>
        <source>Treat all cookies as persistent cookies</source>
        <translation>将所有 Cookie 视为持久 Cookie</translation>
    </message>
    <message>
        <source>Persistent Data Path:</source>
        <translation>持久数据路径：</translation>
    </message>
    <message>
        <source>Proxy</source>
        <translation>代理</translation>
    </message>
    <message>
        <source>Enable proxy</source>
        <translation>启用代理</translation>
    </message>
    <message>
        <source>Type:</source>
        <translation>类型：</translation>
    </message>
    <message>
        <source>Socks5</source>
        <translation>Socks5</translation>
    </message>
    <message>
        <source>Http</source>
        <translation>Http</translation>
    </message>
    <message>
        <source>Host:</source>
        <translation>主机：</translation>
    </message>
    <message>
        <source>Port:</source>
        <translation>端口：</translation>
    </message>
    <message>
        <source>User Name:</source>
        <translation>用户名：</translation>
    </message>
    <message>
        <source>Password:</source>
        <translation>密码：</translation>
    </message>
    <message>
        <source>Advanced</source>
        <translation>高级</translation>
    </message>
    <message>
        <source>HTTP User-Agent:</source>
        <translation>HTTP 用户代理：</translation>
    </message>
    <message>
        <source>HTTP Accept-&amp;Language:</source>
        <translation>HTTP 接受语言(&amp;L)：</translation>
    </message>
    <message>
        <source>Style Sheet:</source>
        <translation>样式表：</translation>
    </message>
    <message>
        <source>Choose...</source>
        <translation>选择...</translation>
    </message>
</context>
<context>
    <name>SettingsDialog</name>
    <message>
        <source>Save downloads to</source>
        <translation>下载保存位置</translation>
    </message>
</context>
<context>
    <name>StoppedPage</name>
    <message>
        <source>This page stopped working.</source>
        <translation>此网页已停止运行。</translation>
    </message>
    <message>
        <source>Reload</source>
        <translation>重新加载</translation>
    </message>
</context>
<context>
    <name>TabBar</name>
    <message>
        <source>Clone Tab</source>
        <translation>复制标签页</translation>
    </message>
    <message>
        <source>Close &amp;Other Tabs</source>
        <translation>关闭其他标签页(&amp;O)</translation>
    </message>
    <message>
        <source>Reload Tab</source>
        <translation>重新加载标签页</translation>
    </message>
    <message>
        <source>Reload All Tabs</source>
        <translation>重新加载所有标签页</translation>
    </message>
</context>
<context>
    <name>TabWidget</name>
    <message>
        <source>(Untitled)</source>
        <translation>(无标题)</translation>
    </message>
</context>
<context>
    <name>WebPage</name>
    <message>
        <source>&lt;qt&gt;Enter username and password for &quot;%1&quot; at %2&lt;/qt&gt;</source>
        <translation>&lt;qt&gt;请输入 %2 上“%1”的用户名和密码&lt;/qt&gt;</translation>
    </message>
    <message>
        <source>&lt;qt&gt;Connect to proxy &quot;%1&quot; using:&lt;/qt&gt;</source>
        <translation>&lt;qt&gt;使用以下凭据连接代理“%1”：&lt;/qt&gt;</translation>
    </message>
</context>
<context>
    <name>WebView</name>
    <message>
        <source>Open Link in This Window</source>
        <translation>在此窗口中打开链接</translation>
    </message>
</context>
</TS>

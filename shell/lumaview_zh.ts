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
        <source>Page Source of %1</source>
        <translation>%1 的页面源代码</translation>
    </message>
    <message>
        <source>Are you sure you want to close the window?  There are %1 tabs open</source>
        <translation>确定要关闭此窗口吗？当前打开了 %1 个标签页</translation>
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
    <name>TabBar</name>
    <message>
        <source>New &amp;Tab</source>
        <translation>新建标签页(&amp;T)</translation>
    </message>
    <message>
        <source>Clone Tab</source>
        <translation>复制标签页</translation>
    </message>
    <message>
        <source>&amp;Close Tab</source>
        <translation>关闭标签页(&amp;C)</translation>
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
        <source>New &amp;Tab</source>
        <translation>新建标签页(&amp;T)</translation>
    </message>
    <message>
        <source>&amp;Close Tab</source>
        <translation>关闭标签页(&amp;C)</translation>
    </message>
    <message>
        <source>Show Next Tab</source>
        <translation>显示下一个标签页</translation>
    </message>
    <message>
        <source>Show Previous Tab</source>
        <translation>显示上一个标签页</translation>
    </message>
    <message>
        <source>Recently Closed Tabs</source>
        <translation>最近关闭的标签页</translation>
    </message>
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

<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>TransportError</name>
    <message>
        <source>Connection refused</source>
        <translation>连接被拒绝</translation>
    </message>
    <message>
        <source>Host %1 not found</source>
        <translation>找不到主机 %1</translation>
    </message>
    <message>
        <source>Network operation timed out</source>
        <translation>网络操作超时</translation>
    </message>
    <message>
        <source>Secure connection (TLS) failed</source>
        <translation>安全连接（TLS）失败</translation>
    </message>
    <message>
        <source>Connection closed</source>
        <translation>连接被中断</translation>
    </message>
    <message>
        <source>Too many redirects</source>
        <translation>重定向次数过多</translation>
    </message>
    <message>
        <source>Insecure redirect</source>
        <translation>不安全的重定向</translation>
    </message>
    <message>
        <source>The server&apos;s certificate is not trusted</source>
        <translation>服务器的证书不受信任</translation>
    </message>
    <message>
        <source>The server&apos;s certificate does not match host %1</source>
        <translation>服务器的证书与主机 %1 不符</translation>
    </message>
    <message>
        <source>Proxy server not found</source>
        <translation>找不到代理服务器</translation>
    </message>
    <message>
        <source>The proxy server refused the connection or requires authentication</source>
        <translation>代理服务器拒绝了连接或要求身份验证</translation>
    </message>
    <message>
        <source>The server&apos;s answer is too large</source>
        <translation>服务器的应答过大</translation>
    </message>
    <message>
        <source>Could not connect to %1</source>
        <translation>未能连接到 %1</translation>
    </message>
    <message>
        <source>Network error (code %1)</source>
        <translation>网络错误（代码 %1）</translation>
    </message>
</context>
</TS>

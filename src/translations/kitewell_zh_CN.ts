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
        <source>Secure connection (TLS) failed: %1</source>
        <translation>安全连接（TLS）失败：%1</translation>
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
        <source>Network error: %1</source>
        <translation>网络错误：%1</translation>
    </message>
</context>
</TS>

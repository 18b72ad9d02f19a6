// Using wirekit from C#: the declarations a .NET or Mono host needs, and a
// program that sends one TCP message and one reliable UDP message over
// loopback and checks that both arrive.
//
// Windows (the x86 DLL for a 32-bit host, the x64 DLL for a 64-bit one, next
// to the program):
//     csc WirekitExample.cs        (or add the file to a project)
// Linux, against libwirekit.so:
//     mcs WirekitExample.cs && LD_LIBRARY_PATH=path/to/build mono WirekitExample.exe
//
// Exits 0 when both messages arrived, 1 otherwise.
using System;
using System.Net;
using System.Net.Sockets;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Wirekit
{
    // Every export and the callback use the C calling convention (__cdecl) on
    // both Windows targets; the names are the header's, undecorated.
    //
    // Types: C int is int; C long is 32 bits on Windows (both targets), so it
    // is int here; it is 64 bits on 64-bit Linux, where only the returns of
    // GetMessage_* are used below (their value sits in the low 32 bits). The
    // job and offer handles are C long too. C bool is one byte. Handles are
    // void* and so IntPtr; (void*)-1 means failure.
    public static class Native
    {
        const string Library = "wirekit";

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate void EventCallback(int code, int param);

        public static readonly IntPtr Failed = new IntPtr(-1);

        // The text belongs to the library: read it, never free it.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, EntryPoint = "hello")]
        static extern IntPtr HelloPointer();
        public static string Hello() { return Marshal.PtrToStringAnsi(HelloPointer()); }

        // Reliable UDP.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr Init_Udp(int port, EventCallback cb, byte firstHeaderByte,
                                             byte secondHeaderByte, int mode);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Close_Udp(IntPtr h);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int ListenMessage_Udp(IntPtr h);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int SendMessage_Udp(IntPtr h, string address, int port, byte[] data,
                                                 int length);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int Broadcast_Udp(IntPtr h, string address, int port, byte[] data,
                                               int length);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int GetMessage_Udp(IntPtr h, byte[] buffer, int size);

        // TCP messaging.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr Init_Tcp(EventCallback cb);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Close_Tcp(IntPtr h);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int ListenMessage_Tcp(IntPtr h, int port);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int StopListen_Tcp(IntPtr h);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int Connect_Tcp(IntPtr h, string host, int port);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int DisConnect_Tcp(IntPtr h);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int DisConnectSocket_Tcp(IntPtr h, IntPtr socket);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int SendMessage_Tcp(IntPtr h, byte[] data, int length);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int SendMessageSocket_Tcp(IntPtr h, IntPtr socket, byte[] data,
                                                       int length);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int GetMessage_Tcp(IntPtr h, byte[] buffer, int size);

        // File transfer (job and offer handles are C long: int on Windows).
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int SendFile_Tcp(IntPtr h, string path);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int StopSendFile_Tcp(IntPtr h, int job);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int PauseSendFile_Tcp(IntPtr h, int job);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int ResumeSendFile_Tcp(IntPtr h, int job);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int RecvFile_Tcp(IntPtr h, int offer,
                                              [MarshalAs(UnmanagedType.I1)] bool accept);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int StopRecvFile_Tcp(IntPtr h, int offer);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int PauseRecvFile_Tcp(IntPtr h, int offer);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int ResumeRecvFile_Tcp(IntPtr h, int offer);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int GetSendJob_Tcp(IntPtr h, int job, out FileSendJob snapshot);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int GetRecvOffer_Tcp(IntPtr h, int offer, out FileRecvOffer snapshot);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int SetSavePath_Tcp(IntPtr h, int offer, string savePath);

        // Cipher and compression.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool Des_Go(byte[] output, byte[] input, int length, byte[] key,
                                         int keyLength, [MarshalAs(UnmanagedType.I1)] bool decrypt);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Compress(byte[] dest, ref uint destLen, byte[] source,
                                          uint sourceLen);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int Uncompress(byte[] dest, ref uint destLen, byte[] source,
                                            uint sourceLen);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern uint CompressBound(uint sourceLen);
    }

    // The records as wirekit.h lays them out: 600 bytes on 32-bit targets,
    // 608 on 64-bit ones (the pointer-sized first field and its padding).
    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
    public struct FileSendJob
    {
        public UIntPtr connection;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] public string fileName;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 264)] public string filePath;
        public long fileSize;
        public long bytesSent;
        public int savedState;
        public int state;
        public byte busy;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 47)] public string peerHost;
    }

    // 576 bytes on 32-bit targets, 584 on 64-bit ones.
    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
    public struct FileRecvOffer
    {
        public UIntPtr waitEvent;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 260)] public string fileName;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 264)] public string savePath;
        public long fileSize;
        public long bytesReceived;
        public int state;
        public byte acceptDecision;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 27)] public string peerAddress;
    }

    public static class Example
    {
        const int UDP_EV_MSG_RECEIVED = 1001;
        const int UDP_EV_ACKED = 2003;
        const int TCP_EV_MSG_RECEIVED = 3002;
        static readonly TimeSpan Patience = TimeSpan.FromSeconds(20);

        // The library keeps only the function pointer: the delegates must stay
        // reachable for as long as an endpoint may call them, or the garbage
        // collector frees them under the library's threads. Static fields keep
        // them alive for the whole program.
        static Native.EventCallback tcpServerEvents;
        static Native.EventCallback tcpClientEvents;
        static Native.EventCallback udpReceiverEvents;
        static Native.EventCallback udpSenderEvents;

        static readonly ManualResetEvent tcpMessage = new ManualResetEvent(false);
        static readonly ManualResetEvent udpMessage = new ManualResetEvent(false);
        static readonly ManualResetEvent udpAcked = new ManualResetEvent(false);

        // A port that no socket of the kind holds at the moment of asking.
        static int FreePort(bool tcp)
        {
            using (var probe = tcp ? new Socket(AddressFamily.InterNetwork, SocketType.Stream, ProtocolType.Tcp)
                                   : new Socket(AddressFamily.InterNetwork, SocketType.Dgram, ProtocolType.Udp))
            {
                probe.Bind(new IPEndPoint(IPAddress.Loopback, 0));
                return ((IPEndPoint)probe.LocalEndPoint).Port;
            }
        }

        static bool Check(bool ok, string what)
        {
            Console.WriteLine((ok ? "ok      " : "FAILED  ") + what);
            return ok;
        }

        static bool Layouts()
        {
            bool wide = IntPtr.Size == 8;
            return Check(Marshal.SizeOf(typeof(FileSendJob)) == (wide ? 608 : 600) &&
                         (int)Marshal.OffsetOf(typeof(FileSendJob), "fileSize") == (wide ? 536 : 528) &&
                         (int)Marshal.OffsetOf(typeof(FileSendJob), "peerHost") == (wide ? 561 : 553) &&
                         Marshal.SizeOf(typeof(FileRecvOffer)) == (wide ? 584 : 576) &&
                         (int)Marshal.OffsetOf(typeof(FileRecvOffer), "peerAddress") == (wide ? 557 : 549),
                         "record layouts match wirekit.h (" + IntPtr.Size * 8 + "-bit)");
        }

        static bool Tcp()
        {
            tcpServerEvents = (code, param) => { if (code == TCP_EV_MSG_RECEIVED) tcpMessage.Set(); };
            tcpClientEvents = (code, param) => { };
            IntPtr server = Native.Init_Tcp(tcpServerEvents);
            IntPtr client = Native.Init_Tcp(tcpClientEvents);
            try
            {
                int port = 0;
                for (int attempt = 0; attempt < 5 && port == 0; ++attempt)
                {
                    int candidate = FreePort(true);
                    if (Native.ListenMessage_Tcp(server, candidate) == 1) port = candidate;
                }
                if (!Check(port != 0, "TCP endpoint listens")) return false;
                if (!Check(Native.Connect_Tcp(client, "127.0.0.1", port) == 1, "TCP client connects"))
                    return false;
                byte[] text = Encoding.UTF8.GetBytes("hello over TCP from C#");
                if (!Check(Native.SendMessage_Tcp(client, text, text.Length) == 1, "TCP message sent"))
                    return false;
                if (!Check(tcpMessage.WaitOne(Patience), "TCP message announced (3002)")) return false;
                byte[] buffer = new byte[256];
                int length = Native.GetMessage_Tcp(server, buffer, buffer.Length);
                string got = length >= 0 ? Encoding.UTF8.GetString(buffer, 0, length) : "";
                return Check(got == "hello over TCP from C#", "TCP message received: \"" + got + "\"");
            }
            finally
            {
                Native.Close_Tcp(client);
                Native.Close_Tcp(server);
            }
        }

        static bool Udp()
        {
            udpReceiverEvents = (code, param) => { if (code == UDP_EV_MSG_RECEIVED) udpMessage.Set(); };
            udpSenderEvents = (code, param) => { if (code == UDP_EV_ACKED) udpAcked.Set(); };
            int receiverPort = FreePort(false);
            IntPtr receiver = Native.Init_Udp(receiverPort, udpReceiverEvents, 0x55, 0x77, 0);
            // The sender binds a port of its own, where the acknowledgement returns.
            IntPtr sender = Native.Init_Udp(FreePort(false), udpSenderEvents, 0x55, 0x77, 0);
            try
            {
                if (!Check(receiver != Native.Failed && sender != Native.Failed, "UDP endpoints created"))
                    return false;
                Native.ListenMessage_Udp(receiver);
                Native.ListenMessage_Udp(sender);
                byte[] text = Encoding.UTF8.GetBytes("hello over UDP from C#");
                if (!Check(Native.SendMessage_Udp(sender, "127.0.0.1", receiverPort, text, text.Length) == 1,
                           "UDP message queued"))
                    return false;
                if (!Check(udpMessage.WaitOne(Patience), "UDP message announced (1001)")) return false;
                // The message comes as "address:payload"; the result is the payload's length.
                byte[] buffer = new byte[256];
                int length = Native.GetMessage_Udp(receiver, buffer, buffer.Length);
                int colon = Array.IndexOf(buffer, (byte)':');
                string got = length >= 0 && colon >= 0 && colon + 1 + length <= buffer.Length
                                 ? Encoding.UTF8.GetString(buffer, colon + 1, length) : "";
                bool ok = Check(got == "hello over UDP from C#", "UDP message received: \"" + got + "\"");
                return Check(udpAcked.WaitOne(Patience), "UDP message acknowledged (2003)") && ok;
            }
            finally
            {
                Native.Close_Udp(sender);
                Native.Close_Udp(receiver);
            }
        }

        public static int Main()
        {
            Console.WriteLine("wirekit says " + Native.Hello());
            bool ok = Layouts();
            ok = Tcp() && ok;
            ok = Udp() && ok;
            // The endpoints are closed: no callback runs after Close_* returns,
            // so the delegates may go from here on.
            GC.KeepAlive(tcpServerEvents);
            GC.KeepAlive(tcpClientEvents);
            GC.KeepAlive(udpReceiverEvents);
            GC.KeepAlive(udpSenderEvents);
            Console.WriteLine(ok ? "both messages arrived" : "something failed");
            return ok ? 0 : 1;
        }
    }
}

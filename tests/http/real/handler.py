# Python's http.server with the folder's files, a body ended by the
# connection (/close), one cut short (/cut) and no answer (/silent).
import http.server, sys, time
work, port = sys.argv[1], int(sys.argv[2])
class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=work + "/www", **kwargs)
    def log_message(self, *args):
        pass
    def do_GET(self):
        if self.path == "/silent":
            time.sleep(30)
        elif self.path in ("/close", "/cut"):
            self.send_response(200)
            if self.path == "/cut":
                self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(open(work + "/www/big.bin", "rb").read() if self.path == "/close" else b"0123456789")
        else:
            super().do_GET()
http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()
